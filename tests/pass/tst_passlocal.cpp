#include "passfixture.h"
#include "pathrules.h"
#include "enginetestaccess.h"
#include "referenceserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

// Local files the server does not list: new ones are uploaded, with the
// server folders above them created first.
class TestPassLocal : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY(fixture.start()); }
    void init() { QVERIFY(fixture.beginTest()); }
    void cleanup() { fixture.endTest(); }

    void newFileInNewFoldersIsUploaded();
    void foldersAreCreatedOncePerPass();
    void failedFolderCreationSkipsTheFile();
    void failedUploadKeepsNoRecord();
    void emptyFolderIsNeverUploaded();
    void pathBeyond300CharactersGoesBothWays();
    void pathTheServerCannotTakeStaysHere_data();
    void pathTheServerCannotTakeStaysHere();
    void nothingToDoStillCompletes();
    void ownWritesStartNoPass_data();
    void ownWritesStartNoPass();
    void folderMadeAfterTheScanStartsAPass_data();
    void folderMadeAfterTheScanStartsAPass();
    void leftoversOfInterruptedWrites_data();
    void leftoversOfInterruptedWrites();

private:
    QJsonObject node(const QString &path) { return fixture.server->node(fixture.email(), path); }

    PassFixture fixture;
};

void TestPassLocal::newFileInNewFoldersIsUploaded()
{
    Device *d = fixture.device();
    QVERIFY(d->write("A/B/c.txt", "yeni"));
    d->pass();

    const int a = int(d->logs.indexOf("Uzak klasör oluşturuldu: A"));
    const int ab = int(d->logs.indexOf("Uzak klasör oluşturuldu: A/B"));
    const int up = int(d->logs.indexOf("Yeni dosya yüklendi: A/B/c.txt"));
    QVERIFY(a >= 0);
    QVERIFY(ab > a);
    QVERIFY(up > ab);
    QCOMPARE(d->counters().uploaded, 1);

    const QJsonObject folderA = node("A");
    const QJsonObject folderB = node("A/B");
    const QJsonObject file = node("A/B/c.txt");
    QCOMPARE(folderA.value("type").toString(), QStringLiteral("folder"));
    QCOMPARE(folderB.value("parent_id").toInteger(), folderA.value("id").toInteger());
    QCOMPARE(file.value("parent_id").toInteger(), folderB.value("id").toInteger());
    QCOMPARE(fixture.server->content(fixture.email(), file.value("id").toInteger()), QByteArray("yeni"));

    const QJsonObject saved = d->savedState();
    QCOMPARE(saved.keys(), QStringList({"A/B/c.txt"}));
    const QJsonObject record = saved.value("A/B/c.txt").toObject();
    QCOMPARE(record.value("remote_id").toInteger(), file.value("id").toInteger());
    QCOMPARE(record.value("remote_version").toInteger(), file.value("version").toInteger());

    d->pass();
    QCOMPARE(d->counters().uploaded, 0);
    QCOMPARE(d->counters().downloaded, 0);
}

void TestPassLocal::foldersAreCreatedOncePerPass()
{
    Device *d = fixture.device();
    QVERIFY(d->write("K/1.txt", "1"));
    QVERIFY(d->write("K/2.txt", "2"));
    QVERIFY(d->write("K/L/3.txt", "3"));
    d->pass();

    QCOMPARE(d->countLogged("Uzak klasör oluşturuldu: K"), 1);
    QCOMPARE(d->countLogged("Uzak klasör oluşturuldu: K/L"), 1);
    QCOMPARE(d->counters().uploaded, 3);
    int folders = 0;
    for (const QJsonValue &n : fixture.server->list(fixture.email()))
        folders += n.toObject().value("type").toString() == "folder";
    QCOMPARE(folders, 2);
}

void TestPassLocal::failedFolderCreationSkipsTheFile()
{
    Device *d = fixture.device();
    QVERIFY(d->write("Yeni/dosya.txt", "x"));
    QVERIFY(fixture.server->addFault("POST", "/api/v1/folders", "status", 500));
    d->pass();

    QVERIFY(d->loggedStartingWith("Klasör oluşturulamadı: Yeni — "));
    bool noticed = false;
    for (const Notice &n : d->notices)
        noticed |= n.title == "Senkronizasyon hatası" && n.message == "Kumatta klasör oluşturulamadı: Yeni" && n.severity == 2;
    QVERIFY(noticed);
    QCOMPARE(d->counters().uploaded, 0);
    QCOMPARE(d->counters().errors, 0);
    QVERIFY(d->savedState().isEmpty());
    QVERIFY(node("Yeni/dosya.txt").isEmpty());

    d->pass();
    QCOMPARE(d->counters().uploaded, 1);
    QVERIFY(!node("Yeni/dosya.txt").isEmpty());
}

void TestPassLocal::failedUploadKeepsNoRecord()
{
    Device *d = fixture.device();
    QVERIFY(d->write("a.txt", "x"));
    QVERIFY(fixture.server->addFault("POST", "/api/v1/files/upload", "status", 500));
    d->pass();

    QVERIFY(d->loggedStartingWith("Yüklenemedi: a.txt — "));
    QVERIFY(d->noticed("Yükleme hatası"));
    QCOMPARE(d->counters().errors, 1);
    QVERIFY(!d->savedState().contains("a.txt"));
    QCOMPARE(d->read("a.txt"), QByteArray("x"));

    d->pass();
    QCOMPARE(d->counters().uploaded, 1);
}

void TestPassLocal::pathBeyond300CharactersGoesBothWays()
{
    // Past Windows' classic 260 characters with the folder's own path: up on
    // one device, down and back with an edit on another.
    Device *a = fixture.device("a");
    Device *b = fixture.device("b");
    const QString path = QString("uzun-klasor-adi-").repeated(10) + "/" + QString("ikinci-klasor-").repeated(10)
        + "/" + QString::fromUtf8("şarkı-sözü.txt");
    QVERIFY(path.size() > 300);
    QVERIFY(a->write(path, "ilk"));
    a->pass();
    QCOMPARE(a->counters().uploaded, 1);

    b->pass();
    QCOMPARE(b->counters().downloaded, 1);
    QVERIFY(b->path(path).size() > 300);
    QCOMPARE(b->read(path), QByteArray("ilk"));
    QVERIFY(b->write(path, "ikinci"));
    b->pass();
    QCOMPARE(b->counters().uploaded, 1);

    // a replace of the file already there, the step that once took a short path
    a->pass();
    QCOMPARE(a->counters().errors, 0);
    QCOMPARE(a->counters().downloaded, 1);
    QCOMPARE(a->read(path), QByteArray("ikinci"));
    QVERIFY(!QFileInfo::exists(a->path(path) + ".kumat-part"));
}

void TestPassLocal::pathTheServerCannotTakeStaysHere_data()
{
    QTest::addColumn<QString>("path");
    // beyond the nesting the intake takes back from the server
    QTest::newRow("nesting beyond reason") << QString("d/").repeated(deepestPathLevels) + "x.txt";
    // 255 units on Windows, 510 bytes on the server
    QTest::newRow("name of more than 255 bytes") << QString(200, QChar(u'ş')) + ".txt";
}

void TestPassLocal::pathTheServerCannotTakeStaysHere()
{
    QFETCH(QString, path);
    Device *d = fixture.device();
    if (!d->write(path, "burada"))
        QSKIP("this file system takes no such name either");
    QVERIFY(d->write("olağan.txt", "olağan"));
    d->pass();

    const QString told = "Kumatın veya bu bilgisayarın tutamayacağı yerel yol yüklenmedi (ad, uzunluk veya derinlik "
                         "sınırı): " + path;
    QCOMPARE(d->countLogged(told), 1);
    QVERIFY(d->noticed("Senkronizasyon uyarısı"));
    QCOMPARE(d->counters().uploaded, 1);
    QVERIFY(node("d").isEmpty()); // not even its folders
    QCOMPARE(d->read(path), QByteArray("burada"));
    QVERIFY(!d->savedState().contains(path));

    d->pass();
    QCOMPARE(d->countLogged(told), 0);
    QCOMPARE(d->counters().uploaded, 0);
    QCOMPARE(d->read(path), QByteArray("burada"));
}

void TestPassLocal::emptyFolderIsNeverUploaded()
{
    Device *d = fixture.device();
    QVERIFY(QDir().mkpath(d->path("boş/iç")));
    d->pass();
    QVERIFY(node("boş").isEmpty());
    QVERIFY(QFileInfo(d->path("boş/iç")).isDir());
}

void TestPassLocal::nothingToDoStillCompletes()
{
    Device *d = fixture.device();
    d->pass();
    QVERIFY(d->logged("Senkronizasyon tamamlandı."));
    QCOMPARE(d->lastNotice()->title, QStringLiteral("Senkronizasyon tamamlandı"));
    QCOMPARE(d->lastNotice()->message,
             QStringLiteral("Yüklenen: 0, indirilen: 0, portal silme arşivi: 0, çöpe taşındı: 0, yerel silindi: 0, hata: 0"));
    QCOMPARE(d->lastNotice()->severity, 0);
    // no records; only whose they are
    const QJsonObject written = QJsonDocument::fromJson(d->stateFileBytes()).object();
    QCOMPARE(written.keys(), QStringList{QString()});
    QCOMPARE(written.value(QString()).toObject().value("server").toString(), fixture.server->baseUrl());
    QVERIFY(written.value(QString()).toObject().value("account").toString().startsWith("id:"));
}

void TestPassLocal::ownWritesStartNoPass_data()
{
    QTest::addColumn<QString>("written");
    QTest::addColumn<bool>("startsPass");
    QTest::newRow("nothing but the state file") << QString() << false;
    QTest::newRow("a download's staging leftover") << "b.txt.kumat-part.Ab12Cd" << false;
    QTest::newRow("a safe write's temporary of the state") << ".kumat-sync.json.x1Y2z3" << false;
    QTest::newRow("a file of the user") << "yeni.txt" << true;
    QTest::newRow("the user's file edited") << "a.txt" << true;
}

void TestPassLocal::ownWritesStartNoPass()
{
    // Windows notifies the folder for the pass's own writes; an idle engine
    // must stay idle, and a change by the user must still start a pass.
    QFETCH(QString, written);
    QFETCH(bool, startsPass);
    Device *d = fixture.device();
    QVERIFY(d->write("a.txt", "bir"));
    d->engine.start();
    QVERIFY(d->engine.isRunning());
    QTimer &debounce = SyncEngineTestAccess::debounceTimer(d->engine);
    debounce.stop();
    if (!written.isEmpty())
        QVERIFY(d->write(written, "başka içerik"));
    QVERIFY(QMetaObject::invokeMethod(&SyncEngineTestAccess::watcher(d->engine), "directoryChanged",
                                      Qt::DirectConnection, Q_ARG(QString, d->folder)));
    QCOMPARE(debounce.isActive(), startsPass);
    d->engine.stop();
}

void TestPassLocal::folderMadeAfterTheScanStartsAPass_data()
{
    // a file another device put on the server, which the pass downloads
    QTest::addColumn<QString>("fromServer");
    QTest::newRow("a pass with nothing to do") << QString();
    QTest::newRow("a pass that downloaded into a new folder") << "inen/indirilen.txt";
}

void TestPassLocal::folderMadeAfterTheScanStartsAPass()
{
    // The watch after a pass goes on from the one the pass began with, and
    // after a pass that changed nothing here it is given the folders the
    // scan found: one the user made meanwhile is neither of them, and must
    // still be reported by its parent.
    QFETCH(QString, fromServer);
    Device *d = fixture.device();
    QVERIFY(d->write("alt/a.txt", "bir"));
    d->pass();
    if (!fromServer.isEmpty())
        QVERIFY(fixture.server->putFile(fixture.email(), fromServer, "iki"));
    QSignalSpy changes(&SyncEngineTestAccess::watcher(d->engine), &FolderWatcher::directoryChanged);
    const QMetaObject::Connection made = connect(&d->engine, &SyncEngine::passCompleted, this,
                                                 [d] { QVERIFY(QDir().mkdir(d->path("alt/yeni"))); });
    d->engine.start();
    disconnect(made);
    QCOMPARE(d->counters().downloaded, fromServer.isEmpty() ? 0 : 1);
    // the pass's own folder was not there for its scan
    if (!fromServer.isEmpty())
        QVERIFY(SyncEngineTestAccess::watcher(d->engine).directories().contains(d->path("inen")));
    // what the download itself set off is not what is looked for here
    QTimer &debounce = SyncEngineTestAccess::debounceTimer(d->engine);
    debounce.stop();
    QTRY_VERIFY(changes.contains(QVariantList{d->path("alt")}));
    QVERIFY(debounce.isActive());
    d->engine.stop();
}

void TestPassLocal::leftoversOfInterruptedWrites_data()
{
    QTest::addColumn<QString>("written");
    // "removed": the engine's own temporary, gone; "trashed": a name the
    // user may have chosen too, into the trash; "kept": left alone
    QTest::addColumn<QString>("fate");
    QTest::newRow("a staged download") << "alt/b.txt.kumat-part" << "trashed";
    QTest::newRow("a staged download's save temporary") << "b.txt.kumat-part.Ab12Cd" << "trashed";
    QTest::newRow("the state file's save temporary") << ".kumat-sync.json.x1Y2z3" << "removed";
    QTest::newRow("inside a folder of that name") << "klasor.kumat-part/icerik.txt" << "kept";
    QTest::newRow("in the conflict copies") << ".kumat-conflicts/b.txt.kumat-part" << "kept";
}

void TestPassLocal::leftoversOfInterruptedWrites()
{
    // What a crash during a download or a state write leaves never reaches
    // the server, and only the engine's own temporary is removed for good: a
    // file the user named "... .kumat-part" can still be restored from the
    // trash. The user's files beside it are untouched.
    QFETCH(QString, written);
    QFETCH(QString, fate);
    Device *d = fixture.device();
    QVERIFY(d->write("alt/b.txt", "kullanıcının"));
    QVERIFY(d->write(written, "yarım"));
    d->pass();

    QCOMPARE(d->read("alt/b.txt"), QByteArray("kullanıcının"));
    QCOMPARE(fixture.server->list(fixture.email()).size(), 2); // "alt" and "alt/b.txt"
    QCOMPARE(d->counters().errors, 0);
    QCOMPARE(d->logged("Yarım kalmış bir yazmadan kalan geçici dosya silindi: " + written), fate == "removed");
    if (fate == "trashed") {
        QVERIFY(d->logged("Yarım kalmış bir yazmadan kalan geçici dosya çöp kutusuna taşındı: " + written));
        const QString name = QFileInfo(written).fileName();
        const bool inTrash = QFile(QDir(fixture.trashFilesDir()).filePath(name)).exists();
        // kept either way: in the trash, or where it was
        QVERIFY(inTrash != QFileInfo::exists(d->path(written)));
    } else {
        QCOMPARE(QFileInfo::exists(d->path(written)), fate == "kept");
    }
}

QTEST_GUILESS_MAIN(TestPassLocal)
#include "tst_passlocal.moc"
