#include "passfixture.h"
#include "testplatform.h"
#include "pathrules.h"
#include "scriptedserver.h"
#include "testtls.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

#include <memory>


// Snapshots a real server never sends: failures, unsafe and colliding paths,
// invalid entries, upper-case digests, a folder that disappears. Served by the
// scripted responder, which also records every request the pass makes.
class TestPassIntake : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void snapshotFailureChangesNothing_data();
    void snapshotFailureChangesNothing();
    void folderGoneDuringSnapshotChangesNothing();
    void unreadableFolderChangesNothing();
    void intakeRejectsUnsafeAndCollidingPaths();
    void engineEntriesAgreeWithTheScan_data();
    void engineEntriesAgreeWithTheScan();
    void folderWithoutIdIsRefused_data();
    void folderWithoutIdIsRefused();
    void invalidEntryLeavesLocalFileAlone_data();
    void invalidEntryLeavesLocalFileAlone();
    void upperCaseDigestIsRecordOnly();
    void serverContentNotRecordedIsKeptBeforeUpload();
    void deletionRecordByIdTakesSmallestPath();
    void deletionRecordOfLiveNodeIsSkipped();
    void stopDuringFolderCreationIsAStop();
    void refusedSignInEndsThePass();
    void pathThisPlatformCannotHoldIsLeftAlone();
    void snapshotSeenBeforeIsJudgedAgain_data();
    void snapshotSeenBeforeIsJudgedAgain();

private:
    // Answers the snapshot with `snapshot`, downloads from `contents` by id,
    // uploads with a new version of the id given in uploadItem.
    void serve(const QJsonObject &snapshot);
    QList<QByteArray> requestLines() const;
    void writeState(const QJsonObject &state);
    QJsonObject recordFor(const QString &relative, qint64 version, qint64 id) const;

    PassFixture fixture;
    ScriptedHttpsServer scripted;
    std::unique_ptr<Device> d;
    QMap<qint64, QByteArray> contents;
    QJsonObject uploadItem;
    std::function<void()> beforeSnapshotReply;
    std::function<void()> beforeFolderReply;
};

void TestPassIntake::initTestCase()
{
    QVERIFY(fixture.start(false));
    QVERIFY(scripted.listen());
}

void TestPassIntake::init()
{
    QVERIFY(fixture.beginTest());
    scripted.requests.clear();
    contents.clear();
    uploadItem = QJsonObject();
    beforeSnapshotReply = nullptr;
    beforeFolderReply = nullptr;
    d = std::make_unique<Device>(fixture.work->filePath("sync"));
    d->api.setBaseUrl(scripted.baseUrl());
    QVERIFY(QDir().mkpath(d->folder));
}

void TestPassIntake::cleanup()
{
    d.reset();
    fixture.endTest();
}

void TestPassIntake::serve(const QJsonObject &snapshot)
{
    const QByteArray snapshotBody = QJsonDocument(snapshot).toJson(QJsonDocument::Compact);
    scripted.setHandler([this, snapshotBody](const ScriptedRequest &request) {
        if (request.target == "/api/v1/sync/snapshot") {
            if (beforeSnapshotReply)
                beforeSnapshotReply();
            return ScriptedResponse::json(200, snapshotBody);
        }
        if (request.method == "GET" && request.target.startsWith("/api/v1/files/")) {
            const qint64 id = request.target.split('/').value(4).toLongLong();
            if (contents.contains(id)) {
                ScriptedResponse r;
                r.body = contents.value(id);
                return r;
            }
        }
        if (request.target == "/api/v1/folders" && beforeFolderReply)
            beforeFolderReply();
        if (request.method == "POST" && request.target == "/api/v1/files/upload" && !uploadItem.isEmpty())
            return ScriptedResponse::json(
                200, QJsonDocument(QJsonObject{{"ok", true}, {"item", uploadItem}}).toJson(QJsonDocument::Compact));
        return ScriptedResponse::json(404, R"({"ok":false,"message":"yok"})");
    });
}

QList<QByteArray> TestPassIntake::requestLines() const
{
    // The account request comes once per sign-in, before the first snapshot;
    // snapshotFailureChangesNothing checks it, the other tests what follows.
    QList<QByteArray> lines;
    for (const ScriptedRequest &request : scripted.requests) {
        if (request.target != "/api/v1/me")
            lines.append(request.method + ' ' + request.target);
    }
    return lines;
}

void TestPassIntake::writeState(const QJsonObject &state)
{
    QVERIFY(d->write(".kumat-sync.json", QJsonDocument(state).toJson()));
}

QJsonObject TestPassIntake::recordFor(const QString &relative, qint64 version, qint64 id) const
{
    const QFileInfo info(d->path(relative));
    const QDateTime born = info.fileTime(QFileDevice::FileBirthTime);
    return QJsonObject{{"name", info.fileName()},
                       {"size", info.size()},
                       {"created_ms", born.isValid() ? born.toMSecsSinceEpoch() : 0},
                       {"modified_ms", info.fileTime(QFileDevice::FileModificationTime).toMSecsSinceEpoch()},
                       {"local_hash", sha256Hex(d->read(relative))},
                       {"remote_version", version},
                       {"remote_id", id}};
}

void TestPassIntake::snapshotFailureChangesNothing_data()
{
    // which request fails: the snapshot, or the account request before it
    // (whose tree the server shows must be known before anything is judged)
    QTest::addColumn<QByteArray>("failing");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("server error") << QByteArray("/api/v1/sync/snapshot") << 500
                                  << QByteArray(R"({"ok":false,"message":"bakımda"})");
    QTest::newRow("ok false") << QByteArray("/api/v1/sync/snapshot") << 200
                              << QByteArray(R"({"ok":false,"message":"oturum yok"})");
    QTest::newRow("not json") << QByteArray("/api/v1/sync/snapshot") << 200 << QByteArray("<html>");
    QTest::newRow("empty object") << QByteArray("/api/v1/sync/snapshot") << 200 << QByteArray("{}");
    QTest::newRow("account: server error") << QByteArray("/api/v1/me") << 503
                                           << QByteArray(R"({"ok":false,"message":"bakımda"})");
    QTest::newRow("account: sign-in expired") << QByteArray("/api/v1/me") << 401
                                              << QByteArray(R"({"ok":false,"message":"oturum yok"})");
}

void TestPassIntake::snapshotFailureChangesNothing()
{
    QFETCH(QByteArray, failing);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QVERIFY(d->write("a.txt", "yerel"));
    writeState(QJsonObject{{"a.txt", recordFor("a.txt", 1, 5)}, {"b.txt", recordFor("a.txt", 1, 6)}});
    const QByteArray stateBefore = d->stateFileBytes();
    scripted.setHandler([&](const ScriptedRequest &request) {
        if (request.target == failing)
            return ScriptedResponse::json(status, body);
        return ScriptedResponse::json(200, R"({"ok":true,"user":{"id":7,"email":"a@b.test"}})");
    });
    d->pass();

    const bool account = failing == "/api/v1/me";
    QCOMPARE(scripted.requests.size(), account ? 1 : 2);
    QCOMPARE(scripted.requests.last().target, failing);
    QVERIFY(d->loggedStartingWith(account ? "Hesap bilgisi alınamadı: " : "Sunucu anlık görüntüsü alınamadı: "));
    QCOMPARE(d->notices.size(), 1);
    QCOMPARE(d->notices.first().title, QStringLiteral("Senkronizasyon hatası"));
    QVERIFY(d->notices.first().message.startsWith(account ? "Kumat hesap bilgisi alınamadı: "
                                                          : "Kumat dosya listesi alınamadı: "));
    QCOMPARE(d->notices.first().severity, 2);
    QVERIFY(!d->logged("Senkronizasyon tamamlandı."));
    QVERIFY(!d->logged("Senkronizasyon durduruldu; yarım işlem takip kaydına yazılmadı."));
    QCOMPARE(d->stateFileBytes(), stateBefore);
    QCOMPARE(d->read("a.txt"), QByteArray("yerel"));
}

void TestPassIntake::folderGoneDuringSnapshotChangesNothing()
{
    // A drive unplugged while the snapshot is on its way: the empty folder must
    // not read as "every file deleted here".
    QVERIFY(d->write("a.txt", "A"));
    QVERIFY(d->write("alt/b.txt", "B"));
    writeState(QJsonObject{{"a.txt", recordFor("a.txt", 1, 5)}, {"alt/b.txt", recordFor("alt/b.txt", 1, 6)}});
    const QByteArray stateBefore = d->stateFileBytes();
    const QString unplugged = fixture.work->filePath("takılı-değil");
    beforeSnapshotReply = [&] { QDir().rename(d->folder, unplugged); };
    serve(QJsonObject{{"ok", true},
                      {"items", QJsonArray{QJsonObject{{"path", "a.txt"}, {"id", 5}, {"version", 1},
                                                       {"sha256", sha256Hex("A")}},
                                           QJsonObject{{"path", "alt"}, {"id", 7}, {"type", "folder"}},
                                           QJsonObject{{"path", "alt/b.txt"}, {"id", 6}, {"version", 1},
                                                       {"sha256", sha256Hex("B")}}}}});
    d->pass();

    QCOMPARE(requestLines(), QList<QByteArray>({"GET /api/v1/sync/snapshot"}));
    QVERIFY(d->logged("Senkronizasyon klasörüne erişilemiyor; denetim durduruldu, takip kaydı değiştirilmedi: " + d->folder));
    QVERIFY(d->noticed("Senkronizasyon hatası"));
    QCOMPARE(d->lastNotice()->severity, 2);
    QVERIFY(!d->logged("Senkronizasyon tamamlandı."));
    QVERIFY(!QFileInfo::exists(d->folder));
    QDir().rename(unplugged, d->folder);
    QCOMPARE(d->stateFileBytes(), stateBefore);
    QCOMPARE(d->read("alt/b.txt"), QByteArray("B"));
}

void TestPassIntake::unreadableFolderChangesNothing()
{
    if (!TestPlatform::permissionsRefuseThisUser())
        QSKIP("this user lists every folder whatever its permissions");
    QVERIFY(d->write("a.txt", "A"));
    writeState(QJsonObject{{"a.txt", recordFor("a.txt", 1, 5)}});
    serve(QJsonObject{{"ok", true},
                      {"items", QJsonArray{QJsonObject{{"path", "a.txt"}, {"id", 5}, {"version", 1},
                                                       {"sha256", sha256Hex("A")}}}}});
    const QFileDevice::Permissions before = QFile::permissions(d->folder);
    beforeSnapshotReply = [&] { QFile::setPermissions(d->folder, QFileDevice::WriteOwner); };
    d->pass();
    QFile::setPermissions(d->folder, before);

    QCOMPARE(requestLines(), QList<QByteArray>({"GET /api/v1/sync/snapshot"}));
    QVERIFY(d->logged("Senkronizasyon klasörüne erişilemiyor; denetim durduruldu, takip kaydı değiştirilmedi: " + d->folder));
    QCOMPARE(d->read("a.txt"), QByteArray("A"));
}

void TestPassIntake::intakeRejectsUnsafeAndCollidingPaths()
{
    QVERIFY(d->write("çift/eğik.txt", "yerel sürüm"));
    contents = {{10, "a"}, {15, "b"}, {16, "c"}, {17, "d"}, {14, "{\"a.txt\": {}}"}, {20, "e"}, {21, "f"}};
    const auto file = [this](const QString &path, qint64 id) {
        return QJsonObject{{"path", path}, {"id", id}, {"version", 1}, {"sha256", sha256Hex(contents.value(id, "z"))}};
    };
    QJsonObject notDeleted = file("silinmedi.txt", 17);
    notDeleted.insert("deleted", "true");
    serve(QJsonObject{{"ok", true},
                      {"items", QJsonArray{file("../dışarı.txt", 1), file("/etc/kumat-test", 2), file("a:b.txt", 3),
                                           QJsonValue("metin"), file("Docs/a.txt", 10), file("docs/A.TXT", 11),
                                           file("Docs/a.txt", 12), file("x.kumat-part", 13),
                                           file(".kumat-sync.json", 14),
                                           file("ters\\eğik.txt", 15),
                                           file("çift//eğik.txt", 16), notDeleted,
                                           // one Windows entry: "ı" is upper-cased to "I"
                                           file("Irmak.txt", 20), file("ırmak.txt", 21)}}});
    d->pass();

    for (const char *path : {"../dışarı.txt", "/etc/kumat-test", "a:b.txt", "", "x.kumat-part", ".kumat-sync.json"})
        QVERIFY2(d->logged(QStringLiteral("Güvenli olmayan uzak yol atlandı: ") + QString::fromUtf8(path)), path);
    QCOMPARE(d->countLogged("Aynı yerel hedefe yönlenen uzak kayıt atlandı: docs/A.TXT"), 1);
    QCOMPARE(d->countLogged("Aynı yerel hedefe yönlenen uzak kayıt atlandı: Docs/a.txt"), 1);
    QCOMPARE(d->countLogged("Aynı yerel hedefe yönlenen uzak kayıt atlandı: ırmak.txt"), 1);
    bool collisionNoticed = false;
    for (const Notice &n : d->notices)
        collisionNoticed |= n.title == "Senkronizasyon güvenlik uyarısı" && n.message == "Çakışan uzak dosya yolu engellendi: docs/A.TXT";
    QVERIFY(collisionNoticed);

    QCOMPARE(d->counters().errors, 9);
    QCOMPARE(d->counters().downloaded, 5);
    QCOMPARE(d->lastNotice()->title, QStringLiteral("Senkronizasyon hatalarla tamamlandı"));
    QCOMPARE(d->lastNotice()->severity, 1);

    QVERIFY(!QFileInfo::exists(fixture.work->filePath("dışarı.txt")));
    QCOMPARE(d->read("Docs/a.txt"), QByteArray("a"));
    QCOMPARE(d->read("ters/eğik.txt"), QByteArray("b"));
    QCOMPARE(d->read("silinmedi.txt"), QByteArray("d"));
    // a doubled slash names the scanned file: paired with a kept copy, not overwritten unseen
    QCOMPARE(d->read("çift/eğik.txt"), QByteArray("c"));
    const QStringList copies = d->filesUnder(".kumat-conflicts/çift");
    QCOMPARE(copies.size(), 1);
    QCOMPARE(d->read(".kumat-conflicts/çift/" + copies.first()), QByteArray("yerel sürüm"));
    // the engine's own memory was not taken from the server
    const QJsonObject saved = d->savedState();
    QVERIFY(saved.contains("Docs/a.txt"));
    QVERIFY(saved.contains("çift/eğik.txt"));
    QVERIFY(!saved.contains("a.txt"));
    for (const QByteArray &line : requestLines())
        QVERIFY2(!line.startsWith("GET /api/v1/files/14/") && !line.startsWith("GET /api/v1/files/13/"), line);
}

void TestPassIntake::engineEntriesAgreeWithTheScan_data()
{
    // What the scan leaves out, the intake refuses, and nothing else: a server
    // item there would take the place of the engine's own folders or state
    // file, and a local file the intake refuses would be uploaded and then
    // refused on every pass.
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("whereCaseCounts");
    QTest::addColumn<bool>("whereCaseIsIgnored");
    // for an engine entry: a local file lies there too, which must not go up
    // (an ordinary path is downloaded: the scan does not list hidden names)
    QTest::addColumn<bool>("localToo");
    QTest::newRow("conflict folder as a file") << ".kumat-conflicts" << true << true << false;
    QTest::newRow("archive as a file") << ".kumat-portal-silinenler" << true << true << false;
    QTest::newRow("below the state file") << ".kumat-sync.json/x" << true << true << false;
    QTest::newRow("below a partial file") << "a.kumat-part/b.txt" << true << true << true;
    // (a local one there is a leftover that the pass removes)
    QTest::newRow("partial file, other case") << QString::fromUtf8("özet.KUMAT-PART") << false << true << false;
    QTest::newRow("conflict folder, other case") << ".Kumat-Conflicts/a.txt" << false << true << true;
    QTest::newRow("state file, other case") << ".KUMAT-SYNC.JSON" << false << true << false;
    QTest::newRow("state file deeper") << "alt/.kumat-sync.json" << false << false << false;
    QTest::newRow("name continuing the conflict folder's") << ".kumat-conflicts-eski/a.txt" << false << false << false;
}

void TestPassIntake::engineEntriesAgreeWithTheScan()
{
    QFETCH(QString, path);
    QFETCH(bool, whereCaseCounts);
    QFETCH(bool, whereCaseIsIgnored);
    QFETCH(bool, localToo);
    const bool engineEntry = platformNamesIgnoreCase() ? whereCaseIsIgnored : whereCaseCounts;
    contents = {{40, "sunucu"}};
    if (engineEntry && localToo)
        QVERIFY(d->write(path, "sunucu"));
    serve(QJsonObject{{"ok", true},
                      {"items", QJsonArray{QJsonObject{{"path", path}, {"id", 40}, {"version", 1},
                                                       {"sha256", sha256Hex("sunucu")}}}}});
    d->pass();

    QCOMPARE(d->logged("Güvenli olmayan uzak yol atlandı: " + path), engineEntry);
    QCOMPARE(d->counters().errors, engineEntry ? 1 : 0);
    QCOMPARE(d->savedState().contains(path), !engineEntry);
    if (engineEntry) {
        // nothing downloaded; where names ignore case ".KUMAT-SYNC.JSON" is the
        // state file itself, so only a local file of our own is looked for
        QCOMPARE(requestLines(), QList<QByteArray>({"GET /api/v1/sync/snapshot"}));
        if (localToo)
            QVERIFY(QFileInfo::exists(d->path(path)));
    } else {
        QCOMPARE(requestLines(), QList<QByteArray>({"GET /api/v1/sync/snapshot", "GET /api/v1/files/40/download"}));
        QCOMPARE(d->read(path), QByteArray("sunucu"));
    }
    QVERIFY(QFileInfo(d->path(".kumat-sync.json")).isFile());
}

void TestPassIntake::folderWithoutIdIsRefused_data()
{
    QTest::addColumn<QJsonValue>("id");
    QTest::addColumn<bool>("refused");
    QTest::newRow("no id") << QJsonValue() << true;
    QTest::newRow("id 0") << QJsonValue(0) << true;
    QTest::newRow("negative id") << QJsonValue(-4) << true;
    QTest::newRow("id as text") << QJsonValue("7") << true;
    QTest::newRow("fractional id") << QJsonValue(7.5) << true;
    QTest::newRow("valid id") << QJsonValue(7) << false;
}

void TestPassIntake::folderWithoutIdIsRefused()
{
    // Without the folder's id a new file below it would be sent to the top
    // of the user's tree.
    QFETCH(QJsonValue, id);
    QFETCH(bool, refused);
    QVERIFY(d->write("Klasör/yeni.txt", "yeni"));
    uploadItem = QJsonObject{{"id", 50}, {"version", 1}, {"path", "Klasör/yeni.txt"}};
    QJsonObject folder{{"path", "Klasör"}, {"type", "folder"}};
    if (!id.isUndefined() && !id.isNull())
        folder.insert("id", id);
    serve(QJsonObject{{"ok", true}, {"items", QJsonArray{folder}}});
    d->pass();

    QCOMPARE(d->logged("Uzak klasörün kimlik bilgisi geçersiz, atlandı: Klasör"), refused);
    QCOMPARE(d->counters().errors, refused ? 1 : 0);
    if (refused) {
        QCOMPARE(requestLines(), QList<QByteArray>({"GET /api/v1/sync/snapshot"}));
        QCOMPARE(d->read("Klasör/yeni.txt"), QByteArray("yeni"));
    } else {
        QCOMPARE(requestLines(), QList<QByteArray>({"GET /api/v1/sync/snapshot", "POST /api/v1/files/upload"}));
        QVERIFY(scripted.requests.last().body.contains("name=\"parent_id\"\r\n\r\n7"));
    }
}

void TestPassIntake::invalidEntryLeavesLocalFileAlone_data()
{
    QTest::addColumn<QJsonValue>("id");
    QTest::addColumn<QString>("sha256");
    const QString valid = sha256Hex("sunucu");
    QTest::newRow("id 0") << QJsonValue(0) << valid;
    QTest::newRow("id as text") << QJsonValue("5") << valid;
    QTest::newRow("fractional id") << QJsonValue(5.5) << valid;
    QTest::newRow("63 digits") << QJsonValue(5) << valid.left(63);
    QTest::newRow("not hexadecimal") << QJsonValue(5) << QString(valid).replace(0, 1, "g");
    // an anchored pattern's "$" would have let this one through
    QTest::newRow("64 digits and a line feed") << QJsonValue(5) << valid + "\n";
    QTest::newRow("no digest") << QJsonValue(5) << QString();
}

void TestPassIntake::invalidEntryLeavesLocalFileAlone()
{
    QFETCH(QJsonValue, id);
    QFETCH(QString, sha256);
    QVERIFY(d->write("x.txt", "yerel"));
    contents = {{5, "sunucu"}};
    serve(QJsonObject{
        {"ok", true},
        {"items", QJsonArray{QJsonObject{{"path", "x.txt"}, {"id", id}, {"version", 2}, {"sha256", sha256}}}}});
    d->pass();

    QVERIFY(d->logged("Uzak dosyanın kimlik veya SHA-256 bilgisi geçersiz, atlandı: x.txt"));
    QVERIFY(d->noticed("Senkronizasyon güvenlik uyarısı"));
    QCOMPARE(d->counters().errors, 1);
    QCOMPARE(d->read("x.txt"), QByteArray("yerel"));
    QCOMPARE(requestLines(), QList<QByteArray>({"GET /api/v1/sync/snapshot"}));
    QVERIFY(d->filesUnder(".kumat-conflicts").isEmpty());
}

void TestPassIntake::upperCaseDigestIsRecordOnly()
{
    QVERIFY(d->write("a.txt", "aynı"));
    serve(QJsonObject{{"ok", true},
                      {"items", QJsonArray{QJsonObject{{"path", "a.txt"}, {"id", 21}, {"version", 3},
                                                       {"sha256", sha256Hex("aynı").toUpper()}}}}});
    d->pass();

    QCOMPARE(requestLines(), QList<QByteArray>({"GET /api/v1/sync/snapshot"}));
    const QJsonObject record = d->savedState().value("a.txt").toObject();
    QCOMPARE(record.value("remote_id").toInteger(), 21);
    QCOMPARE(record.value("remote_version").toInteger(), 3);
    QCOMPARE(record.value("local_hash").toString(), sha256Hex("aynı"));
    QCOMPARE(d->counters().errors, 0);
}

void TestPassIntake::serverContentNotRecordedIsKeptBeforeUpload()
{
    // The server changed the content without a new version: the local file
    // matches its record, so the upload would replace content that exists
    // nowhere here.
    QVERIFY(d->write("a.txt", "kayıtlı"));
    writeState(QJsonObject{{"a.txt", recordFor("a.txt", 3, 30)}});
    contents = {{30, "sunucunun sessiz değişikliği"}};
    uploadItem = QJsonObject{{"id", 30}, {"version", 4}};
    serve(QJsonObject{{"ok", true},
                      {"items", QJsonArray{QJsonObject{{"path", "a.txt"}, {"id", 30}, {"version", 3},
                                                       {"sha256", sha256Hex(contents.value(30))}}}}});
    d->pass();

    QCOMPARE(requestLines(), QList<QByteArray>({"GET /api/v1/sync/snapshot", "GET /api/v1/files/30/download",
                                                "POST /api/v1/files/upload"}));
    const QStringList copies = d->filesUnder(".kumat-conflicts");
    QCOMPARE(copies.size(), 1);
    QVERIFY(copies.first().startsWith("a-uzak-"));
    QCOMPARE(d->read(".kumat-conflicts/" + copies.first()), QByteArray("sunucunun sessiz değişikliği"));
    QCOMPARE(d->counters().uploaded, 1);
    QVERIFY(scripted.requests.last().body.contains("name=\"expected_version\"\r\n\r\n3"));
    QCOMPARE(d->savedState().value("a.txt").toObject().value("remote_version").toInteger(), 4);
}

void TestPassIntake::deletionRecordByIdTakesSmallestPath()
{
    QVERIFY(d->write("a.txt", "A"));
    QVERIFY(d->write("b.txt", "B"));
    writeState(QJsonObject{{"b.txt", recordFor("b.txt", 1, 7)}, {"a.txt", recordFor("a.txt", 1, 7)}});
    // b.txt was recreated on the server under a new id; its old record still
    // carries 7, so the id names two records and the smaller path is meant
    serve(QJsonObject{{"ok", true},
                      {"items", QJsonArray{QJsonObject{{"path", "b.txt"}, {"id", 8}, {"version", 1},
                                                       {"sha256", sha256Hex("B")}}}},
                      {"deleted_ids", QJsonArray{7, 99, "7"}}});
    d->pass();

    const QStringList archive = d->filesUnder(".kumat-portal-silinenler");
    QCOMPARE(archive.size(), 1);
    QVERIFY(archive.first().endsWith("/a.txt"));
    QCOMPARE(d->read("b.txt"), QByteArray("B"));
    QCOMPARE(d->counters().archived, 1);
    // no usable id and no path: nothing to tie it to
    QCOMPARE(d->countLogged("Doğrulanamayan portal silme kaydı atlandı: "), 2);
    QVERIFY(!d->savedState().contains("a.txt"));
    QVERIFY(d->savedState().contains("b.txt"));
}

void TestPassIntake::deletionRecordOfLiveNodeIsSkipped()
{
    // a record without an id for a path whose node the server still lists
    QVERIFY(d->write("a.txt", "A"));
    writeState(QJsonObject{{"a.txt", recordFor("a.txt", 1, 8)}});
    serve(QJsonObject{{"ok", true},
                      {"items", QJsonArray{QJsonObject{{"path", "a.txt"}, {"id", 8}, {"version", 1},
                                                       {"sha256", sha256Hex("A")}}}},
                      {"deleted", QJsonArray{QJsonObject{{"path", "a.txt"}}}}});
    d->pass();

    QVERIFY(d->logged("Doğrulanamayan portal silme kaydı atlandı: a.txt"));
    QCOMPARE(d->read("a.txt"), QByteArray("A"));
    QCOMPARE(d->counters().archived, 0);
    QVERIFY(d->savedState().contains("a.txt"));
}

void TestPassIntake::stopDuringFolderCreationIsAStop()
{
    QVERIFY(d->write("yeni/a.txt", "A"));
    serve(QJsonObject{{"ok", true}, {"items", QJsonArray{}}});
    beforeFolderReply = [&] { d->engine.stop(); };
    d->pass();

    QVERIFY(d->logged("Klasör oluşturma durduruldu: yeni"));
    QVERIFY(d->logged("Senkronizasyon durduruldu; yarım işlem takip kaydına yazılmadı."));
    QVERIFY(!d->loggedStartingWith("Klasör oluşturulamadı"));
    QVERIFY(d->notices.isEmpty());
}

void TestPassIntake::refusedSignInEndsThePass()
{
    // Once the server refuses the sign-in, every later request would be
    // refused too: the pass asks nothing more, records nothing, and says so
    // once instead of with a failure per file.
    QVERIFY(d->write("yerel.txt", "yerel"));
    const QByteArray snapshot = QJsonDocument(QJsonObject{
        {"ok", true},
        {"items", QJsonArray{QJsonObject{{"path", "a.txt"}, {"id", 40}, {"version", 1}, {"sha256", sha256Hex("a")}},
                             QJsonObject{{"path", "b.txt"}, {"id", 41}, {"version", 1}, {"sha256", sha256Hex("b")}}}}})
                                    .toJson(QJsonDocument::Compact);
    scripted.setHandler([&](const ScriptedRequest &request) {
        if (request.target == "/api/v1/sync/snapshot")
            return ScriptedResponse::json(200, snapshot);
        if (request.target == "/api/v1/me")
            return ScriptedResponse::json(200, R"({"ok":true,"user":{"id":3}})");
        return ScriptedResponse::json(401, R"({"ok":false,"message":"Oturum geçersiz."})");
    });
    QSignalSpy needed(&d->engine, &SyncEngine::signInNeeded);
    d->pass();

    QCOMPARE(needed.size(), 1);
    QCOMPARE(requestLines(), QList<QByteArray>({"GET /api/v1/sync/snapshot", "GET /api/v1/files/40/download"}));
    for (const Notice &notice : std::as_const(d->notices))
        QVERIFY2(notice.severity < 2, qPrintable(notice.title));
    QVERIFY(d->logged("Kumat oturumu sona erdi; senkronizasyon yarıda kaldı, takip kaydı değiştirilmedi."));
    QVERIFY(!d->logged("Senkronizasyon tamamlandı."));
    QVERIFY(!d->exists(".kumat-sync.json"));
    QVERIFY(!d->exists("a.txt"));
    QCOMPARE(d->read("yerel.txt"), QByteArray("yerel"));
}

void TestPassIntake::pathThisPlatformCannotHoldIsLeftAlone()
{
    // Paths from another system that cannot exist here: nothing is made or
    // fetched for them, their records stay, and each is told once per run.
    const QString longName = "uzun/" + QString(300, QLatin1Char('b')) + ".txt";
    contents = {{30, "uzun"}, {31, "derin"}, {32, "normal"}, {33, "soru"}};
    QJsonArray items{QJsonObject{{"path", "uzun"}, {"id", 29}, {"type", "folder"}},
                     QJsonObject{{"path", longName}, {"id", 30}, {"version", 1}, {"sha256", sha256Hex("uzun")}},
                     QJsonObject{{"path", "normal.txt"}, {"id", 32}, {"version", 1}, {"sha256", sha256Hex("normal")}},
                     QJsonObject{{"path", "soru?.txt"}, {"id", 33}, {"version", 1}, {"sha256", sha256Hex("soru")}}};
    // a file 8,000 levels down, below the first 300 of its folders
    QString deep = "d";
    for (int level = 1; level <= 300; ++level, deep += "/d")
        items.append(QJsonObject{{"path", deep}, {"id", 1000 + level}, {"type", "folder"}});
    items.append(QJsonObject{{"path", QString("d/").repeated(7999) + "d.txt"}, {"id", 31}, {"version", 1},
                             {"sha256", sha256Hex("derin")}});
    serve(QJsonObject{{"ok", true}, {"items", items}});
    const QJsonObject kept{{"name", QString(300, QLatin1Char('b')) + ".txt"}, {"size", 4}, {"created_ms", 0},
                           {"modified_ms", 0}, {"local_hash", sha256Hex("uzun")}, {"remote_version", 1},
                           {"remote_id", 30}};
    writeState(QJsonObject{{longName, kept}});

    d->pass();

    const QString refused = QStringLiteral("Bu bilgisayarda bulunamayacak uzak yol atlandı (ad, uzunluk veya derinlik sınırı): ");
    QCOMPARE(d->countLogged(refused + longName), 1);
    // the first level too deep is told; what lies below it is refused with it
    const QString firstTooDeep = QString("d/").repeated(deepestPathLevels) + "d";
    QCOMPARE(d->countLogged(refused + firstTooDeep), 1);
    int told = 0;
    for (const QString &line : d->logs)
        told += line.startsWith(refused);
    const bool windows = platformNamesIgnoreCase();
    QCOMPARE(told, windows ? 3 : 2);
    QCOMPARE(d->countLogged(refused + "soru?.txt"), windows ? 1 : 0);
    int noticed = 0;
    for (const Notice &n : d->notices)
        noticed += n.message.startsWith("Bu bilgisayarın tutamayacağı bir dosya yolu indirilmedi: ");
    QCOMPARE(noticed, told);

    QCOMPARE(d->read("normal.txt"), QByteArray("normal"));
    QVERIFY(QFileInfo(d->path("uzun")).isDir());
    QVERIFY(d->filesUnder("uzun").isEmpty());
    // the nesting stops where the rule does
    QVERIFY(QFileInfo::exists(d->path(QString("d/").repeated(deepestPathLevels - 1) + "d")));
    QVERIFY(!QFileInfo::exists(d->path(firstTooDeep)));
    for (const QByteArray &line : requestLines())
        QVERIFY2(!line.startsWith("GET /api/v1/files/30/") && !line.startsWith("GET /api/v1/files/31/"), line);
    // refusing is not deleting: the record stays for the day the path fits
    QCOMPARE(d->savedState().value(longName).toObject(), kept);

    // told once: the next pass refuses the same in silence
    scripted.requests.clear();
    d->pass();
    for (const QString &line : d->logs)
        QVERIFY2(!line.startsWith(refused), qPrintable(line.left(200)));
    QVERIFY(d->notices.size() <= 1); // the summary at most
    QCOMPARE(requestLines(), QList<QByteArray>({"GET /api/v1/sync/snapshot"}));
    QCOMPARE(d->savedState().value(longName).toObject(), kept);
}

void TestPassIntake::snapshotSeenBeforeIsJudgedAgain_data()
{
    QTest::addColumn<bool>("linkInstead");
    QTest::addColumn<bool>("unsafeListed");
    QTest::newRow("nothing changed") << false << false;
    QTest::newRow("folder replaced by a link") << true << false;
    QTest::newRow("an unsafe path listed") << false << true;
}

void TestPassIntake::snapshotSeenBeforeIsJudgedAgain()
{
    // The second pass gets the very text of the first snapshot: what it
    // accepts still rests on the folder as it is now, and what it refuses is
    // told again.
    QFETCH(bool, linkInstead);
    QFETCH(bool, unsafeListed);
    contents = {{10, "a"}};
    QJsonArray items{QJsonObject{{"path", "Docs"}, {"id", 9}, {"type", "folder"}},
                     QJsonObject{{"path", "Docs/a.txt"}, {"id", 10}, {"version", 1}, {"sha256", sha256Hex("a")}}};
    if (unsafeListed)
        items.prepend(QJsonObject{{"path", "../dışarı.txt"}, {"id", 1}, {"version", 1}, {"sha256", sha256Hex("z")}});
    serve(QJsonObject{{"ok", true}, {"items", items}});
    d->pass();
    QCOMPARE(d->read("Docs/a.txt"), QByteArray("a"));

    const QString outside = fixture.work->filePath("dışarısı");
    QVERIFY(QDir().mkpath(outside));
    if (linkInstead) {
        QVERIFY(QDir().rename(d->path("Docs"), fixture.work->filePath("eski-Docs")));
        QVERIFY(TestPlatform::link(outside, d->path("Docs")));
    }
    scripted.requests.clear();
    d->pass();

    const QString unsafe = QStringLiteral("Güvenli olmayan uzak yol atlandı: ");
    // A link made with CreateSymbolicLinkW is a plain folder to a Windows
    // program under Wine: nothing below it is refused, and the empty folder
    // it leads to reads as the file deleted here.
    const bool wineLink = linkInstead && TestPlatform::underWine();
    const char *wineReason = "a link is a plain folder to a Windows program under Wine";
    if (wineLink)
        QEXPECT_FAIL("", wineReason, Continue);
    QCOMPARE(d->countLogged(unsafe + "Docs/a.txt"), linkInstead ? 1 : 0);
    QCOMPARE(d->countLogged(unsafe + "../dışarı.txt"), unsafeListed ? 1 : 0);
    QVERIFY(QDir(outside).isEmpty());
    QByteArray touched;
    for (const QByteArray &line : requestLines()) {
        if (line.startsWith("DELETE ") || line.startsWith("GET /api/v1/files/"))
            touched = line;
    }
    if (wineLink)
        QEXPECT_FAIL("", wineReason, Continue);
    QVERIFY2(touched.isEmpty(), touched);
    if (!linkInstead)
        QCOMPARE(d->read("Docs/a.txt"), QByteArray("a"));
}

QTEST_GUILESS_MAIN(TestPassIntake)
#include "tst_passintake.moc"
