#include "apiclient.h"
#include "testplatform.h"
#include "enginetestaccess.h"
#include "pathgate.h"
#include "syncengine.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

namespace {
const char wineShowsLinksAsPlainEntries[] =
    "a link made with CreateSymbolicLinkW is a plain entry to a Windows program under Wine, so nothing below it "
    "is refused";
}

class TestSyncPaths : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void refused_data();
    void refused();
    void accepted_data();
    void accepted();
    void linkedParentRefused_data();
    void linkedParentRefused();
    void linkAboveTheFolderIsNotExamined();
    void deepPathOnAWindowsSizedStack_data();
    void deepPathOnAWindowsSizedStack();
    void gateAnswersAsTheRule();
    void folderAtFileSystemRootRefusesEverything_data();
    void folderAtFileSystemRootRefusesEverything();
    void conflictNames_data();
    void conflictNames();

private:
    std::unique_ptr<QTemporaryDir> temp;
    std::unique_ptr<ApiClient> api;
    std::unique_ptr<SyncEngine> engine;
    QString folder;
};

void TestSyncPaths::init()
{
    temp = std::make_unique<QTemporaryDir>();
    QVERIFY(temp->isValid());
    folder = temp->filePath("Senkron");
    QVERIFY(QDir().mkpath(folder));
    api = std::make_unique<ApiClient>();
    engine = std::make_unique<SyncEngine>(api.get());
    engine->configure(folder, 5);
}

void TestSyncPaths::cleanup()
{
    engine.reset();
    api.reset();
    temp->setAutoRemove(!QTest::currentTestFailed());
    temp.reset();
}

void TestSyncPaths::refused_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("empty") << "";
    QTest::newRow("dot") << ".";
    QTest::newRow("dot-dot") << "..";
    QTest::newRow("up") << "../x";
    QTest::newRow("up with backslash") << "..\\x";
    QTest::newRow("up after a folder") << "a/../../x";
    QTest::newRow("up after a folder, backslashes") << "a\\..\\..\\x";
    QTest::newRow("the folder itself") << "a/..";
    QTest::newRow("the folder itself, trailing slash") << "a/../";
    QTest::newRow("the folder as ./") << "./";
    if (QDir::separator() == QLatin1Char('/')) {
        // "a\\..b\\" is one name here, so ".." climbs out of it to the folder
        // itself; where a backslash separates, these name "a" and "x" inside
        QTest::newRow("folder through a backslash name, trailing slash") << "a\\..b\\/../";
        QTest::newRow("folder through a backslash name") << "a\\..b\\/..";
        QTest::newRow("out through a backslash name") << "a\\..b\\/../../x";
    }
    QTest::newRow("deeper up") << "a/b/../../../x";
    QTest::newRow("rooted") << "/etc/x";
    QTest::newRow("rooted with backslash") << "\\etc\\x";
    QTest::newRow("network share") << "//sunucu/paylasim/x";
    QTest::newRow("drive relative") << "C:x";
    QTest::newRow("drive absolute") << "C:/x";
    QTest::newRow("colon") << "a:b";
    QTest::newRow("alternate stream") << "a.txt:stream";
    QTest::newRow("stream in a folder") << "Belgeler/a.txt:gizli:$DATA";
    // Qt leaves a path holding a NUL uncleaned, so the ".." would go unseen
    QTest::newRow("NUL, then up to the folder") << QStringLiteral("x\\") + QChar(QChar::Null) + QStringLiteral("/..");
    QTest::newRow("NUL in a plain name") << QStringLiteral("a") + QChar(QChar::Null) + QStringLiteral("b");
    // beyond what Windows can open, so never more than part of it could be made
    QTest::newRow("longer than Windows allows, one name") << QString(40000, QLatin1Char('a'));
    QTest::newRow("longer than Windows allows, many folders") << QString("abcdefghijklmnopq/").repeated(2000) + "x.txt";
    QTest::newRow("longer than Windows allows, not plain") << QString("abcdefghijklmnopq//").repeated(2000) + "x.txt";
}

void TestSyncPaths::refused()
{
    QFETCH(QString, path);
    QVERIFY(!engine->isSafeRelativePath(path));
    QVERIFY(!PathGate(*engine, SyncEngineTestAccess::syncFolder(*engine)).isSafe(path));
}

void TestSyncPaths::accepted_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("plain") << "a";
    QTest::newRow("nested") << "a/b/c.txt";
    QTest::newRow("leading dot component") << "./a";
    QTest::newRow("double slash") << "a//b";
    QTest::newRow("dot component") << "a/./b";
    QTest::newRow("up inside") << "a/x/../b";
    QTest::newRow("trailing slash") << "a/b/";
    QTest::newRow("backslash separator") << "a\\b.txt";
    QTest::newRow("not yet created") << "yok/olmayan/klasor/dosya.txt";
    QTest::newRow("dot file") << ".profil";
    QTest::newRow("dots in names") << "..a/b..c";
    QTest::newRow("non-ASCII") << QString::fromUtf8("Çalışma/öğün şarkı.txt");
}

void TestSyncPaths::accepted()
{
    QFETCH(QString, path);
    QVERIFY(engine->isSafeRelativePath(path));
    QVERIFY(PathGate(*engine, SyncEngineTestAccess::syncFolder(*engine)).isSafe(path));
}

void TestSyncPaths::linkedParentRefused_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("safe");
    QTest::newRow("through a link outside") << "disari/x.txt" << false;
    QTest::newRow("deep through a link outside") << "disari/a/b/x.txt" << false;
    QTest::newRow("through a link back inside") << "iceri/x.txt" << false;
    QTest::newRow("link deeper down") << "gercek/bag/x.txt" << false;
    QTest::newRow("the outside link itself") << "disari" << true;
    QTest::newRow("a file link as last component") << "dosyabag" << true;
    QTest::newRow("a folder link as last component") << "gercek/bag" << true;
    QTest::newRow("a real folder") << "gercek/x.txt" << true;
}

void TestSyncPaths::linkedParentRefused()
{
    QFETCH(QString, path);
    QFETCH(bool, safe);
    const QString outside = temp->filePath("disarisi");
    QVERIFY(QDir().mkpath(outside + "/a/b"));
    QVERIFY(QDir().mkpath(folder + "/gercek"));
    QVERIFY(TestPlatform::link(outside, folder + "/disari"));
    QVERIFY(TestPlatform::link(folder + "/gercek", folder + "/iceri"));
    QVERIFY(TestPlatform::link(outside, folder + "/gercek/bag"));
    QFile target(outside + "/hedef.txt");
    QVERIFY(target.open(QIODevice::WriteOnly));
    target.close();
    QVERIFY(TestPlatform::link(target.fileName(), folder + "/dosyabag"));

    const bool ruleSafe = engine->isSafeRelativePath(path);
    QCOMPARE(PathGate(*engine, SyncEngineTestAccess::syncFolder(*engine)).isSafe(path), ruleSafe);
    if (!safe && TestPlatform::underWine())
        QEXPECT_FAIL("", wineShowsLinksAsPlainEntries, Continue);
    QCOMPARE(ruleSafe, safe);
}

void TestSyncPaths::linkAboveTheFolderIsNotExamined()
{
    // A home folder reached through a link is common; only the way from the
    // sync folder down counts.
    const QString real = temp->filePath("gercek-ev");
    QVERIFY(QDir().mkpath(real + "/Senkron/a"));
    QVERIFY(TestPlatform::link(real, temp->filePath("ev")));
    engine->configure(temp->filePath("ev/Senkron"), 5);
    QVERIFY(engine->isSafeRelativePath("a/x.txt"));
    QVERIFY(engine->isSafeRelativePath("x.txt"));
    PathGate gate(*engine, SyncEngineTestAccess::syncFolder(*engine));
    QVERIFY(gate.isSafe("a/x.txt"));
    QVERIFY(gate.isSafe("x.txt"));
}

void TestSyncPaths::deepPathOnAWindowsSizedStack_data()
{
    QTest::addColumn<QString>("above");
    QTest::addColumn<bool>("safe");
    QTest::newRow("nothing there yet") << "" << true;
    QTest::newRow("below a link") << "bag/" << false;
    QTest::newRow("below real folders") << "a/a/a/" << true;
}

void TestSyncPaths::deepPathOnAWindowsSizedStack()
{
    // A Windows main thread has 1 MiB of stack; a server path thousands of
    // folders deep must be judged within it, at every start.
    QFETCH(QString, above);
    QFETCH(bool, safe);
    QVERIFY(QDir().mkpath(folder + "/a/a/a/a"));
    QVERIFY(TestPlatform::link(temp->path(), folder + "/bag"));
    const QString path = above + QString("a/").repeated(8000) + "x.txt";
    const QString plainless = above + QString("a/./").repeated(4000) + "x.txt";
    bool gateSafe = !safe;
    bool ruleSafe = !safe;
    bool plainlessSafe = !safe;
    std::unique_ptr<QThread> thread(QThread::create([&] {
        gateSafe = PathGate(*engine, SyncEngineTestAccess::syncFolder(*engine)).isSafe(path);
        ruleSafe = engine->isSafeRelativePath(path);
        plainlessSafe = engine->isSafeRelativePath(plainless);
    }));
    thread->setStackSize(1024 * 1024);
    thread->start();
    QVERIFY(thread->wait(60000));
    QCOMPARE(gateSafe, ruleSafe);
    QCOMPARE(plainlessSafe, ruleSafe);
    if (!safe && TestPlatform::underWine())
        QEXPECT_FAIL("", wineShowsLinksAsPlainEntries, Continue);
    QCOMPARE(ruleSafe, safe);
}

void TestSyncPaths::gateAnswersAsTheRule()
{
    // One gate for a whole snapshot remembers the directories it has looked
    // at: a folder found free of links must not vouch for a link below it, nor
    // a link for its real neighbours.
    const QString outside = temp->filePath("disarisi");
    QVERIFY(QDir().mkpath(outside + "/a"));
    QVERIFY(QDir().mkpath(folder + "/gercek/alt"));
    QVERIFY(TestPlatform::link(outside, folder + "/gercek/bag"));
    QVERIFY(TestPlatform::link(folder + "/gercek", folder + "/iceri"));
    const QStringList paths = {"gercek/x.txt",   "gercek/alt/x.txt", "gercek/bag/x.txt", "gercek/bag/a/y.txt",
                               "gercek/bag",     "iceri/x.txt",      "iceri/alt/x.txt",  "gercek/alt/z.txt",
                               "yok/x.txt",      "yok/daha/x.txt",   "x.txt",            "a//b.txt",
                               "gercek/./x.txt", "iceri\\x.txt",     "../x.txt",         "a/../iceri/x.txt",
                               ".profil",        "..a/b..c",         "a:b",              ""};
    PathGate gate(*engine, SyncEngineTestAccess::syncFolder(*engine));
    for (const QString &path : paths) {
        QVERIFY2(gate.isSafe(path) == engine->isSafeRelativePath(path), qPrintable(path));
        QCOMPARE(gate.target(path), QFileInfo(engine->absolute(path)).absoluteFilePath());
    }
}

void TestSyncPaths::folderAtFileSystemRootRefusesEverything_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("plain") << "a";
    QTest::newRow("nested") << "tmp/x.txt";
    QTest::newRow("not yet created") << "yok/x.txt";
}

void TestSyncPaths::folderAtFileSystemRootRefusesEverything()
{
    QFETCH(QString, path);
    engine->configure(QDir::rootPath(), 5);
    QVERIFY(!engine->isSafeRelativePath(path));
    QVERIFY(!PathGate(*engine, SyncEngineTestAccess::syncFolder(*engine)).isSafe(path));
}

void TestSyncPaths::conflictNames_data()
{
    QTest::addColumn<QString>("relative");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("directory");
    QTest::addColumn<QString>("namePattern");
    const QString stamp = R"((\d{8}-\d{6}-\d{3}))";
    QTest::newRow("no extension") << "notlar" << "uzak" << ".kumat-conflicts"
                                  << "^notlar-uzak-" + stamp + "$";
    QTest::newRow("double extension") << "arsiv.tar.gz" << "yerel" << ".kumat-conflicts"
                                      << R"(^arsiv\.tar-yerel-)" + stamp + R"(\.gz$)";
    QTest::newRow("dot file") << ".profil" << "yerel" << ".kumat-conflicts"
                              << "^-yerel-" + stamp + R"(\.profil$)";
    QTest::newRow("in a folder") << "Belgeler/rapor.pdf" << "yerel" << ".kumat-conflicts/Belgeler"
                                 << R"(^rapor-yerel-)" + stamp + R"(\.pdf$)";
    QTest::newRow("deep, non-ASCII") << QString::fromUtf8("a/b/ç/şema.v2.json") << "uzak"
                                     << QString::fromUtf8(".kumat-conflicts/a/b/ç")
                                     << QString::fromUtf8(R"(^şema\.v2-uzak-)") + stamp + R"(\.json$)";
}

void TestSyncPaths::conflictNames()
{
    QFETCH(QString, relative);
    QFETCH(QString, label);
    QFETCH(QString, directory);
    QFETCH(QString, namePattern);

    const QDateTime before = QDateTime::currentDateTime();
    const QString path = engine->conflictPath(relative, label);
    const QDateTime after = QDateTime::currentDateTime();

    const QFileInfo info(path);
    QVERIFY(info.isAbsolute());
    QCOMPARE(QDir::cleanPath(info.absolutePath()), folder + '/' + directory);
    QVERIFY2(info.dir().exists(), "the conflict folder is created for the caller");

    const QRegularExpressionMatch match = QRegularExpression(namePattern).match(info.fileName());
    QVERIFY2(match.hasMatch(), qPrintable(info.fileName()));
    const QDateTime stamp = QDateTime::fromString(match.captured(1), "yyyyMMdd-HHmmss-zzz");
    QVERIFY(stamp.isValid());
    QVERIFY(stamp >= before && stamp <= after);
}

QTEST_GUILESS_MAIN(TestSyncPaths)
#include "tst_syncpaths.moc"
