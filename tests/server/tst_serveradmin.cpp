// The reference server's admin commands as the tests of the client use them
// (other devices, the web portal, the mobile application), the deletion records
// they leave in the snapshot, the update files under /downloads/ and the fault switch.

#include "httpclient.h"
#include "referenceserver.h"
#include "testtls.h"

#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QScopeGuard>
#include <QTest>

#include <sqlite3.h>

#include <memory>

class ServerAdminTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();

    void serveRefusals_data();
    void serveRefusals();
    void addUser();
    void putFileMakesFoldersAndVersions();
    void snapshotFollowsEveryWrite();
    void adminRefusals_data();
    void adminRefusals();

    void portalDeleteRecords_data();
    void portalDeleteRecords();
    void mobileDeleteLeavesNoRecord();
    void restoreRemovesRecord();
    void emptyTrashKeepsSharedContentAndRecords();
    void emptyTrashKeepsContentWhenCommitFails();
    void snapshotReadErrorIsNoSnapshot();

    void downloadsFolder_data();
    void downloadsFolder();

    void faultStatus();
    void faultCutAndCorrupt_data();
    void faultCutAndCorrupt();
    void faultOnUploadStoresNothing();
    void faultSlow();

private:
    qint64 idOf(const QString &path);
    // Runs statements on the server's database beside it, as a second process would.
    bool onDatabase(const QString &sql);

    std::unique_ptr<ReferenceServer> server;
    std::unique_ptr<HttpClient> client;
    QString email;
    QByteArray currentFunction;
    int userCounter = 0;
};

static const QString password = QStringLiteral("Parola-123");

void ServerAdminTest::initTestCase()
{
    server = std::make_unique<ReferenceServer>();
    QVERIFY2(server->start(), qPrintable(server->lastError()));
}

void ServerAdminTest::init()
{
    // one fresh user per test function; its data rows share it
    const QByteArray function = QTest::currentTestFunction();
    if (function == currentFunction)
        return;
    currentFunction = function;
    email = QStringLiteral("yonetim%1@example.com").arg(++userCounter);
    QVERIFY2(server->addUser(email, password), qPrintable(server->lastError()));
    client = std::make_unique<HttpClient>(server->baseUrl());
    QVERIFY(client->login(email, password));
    QVERIFY(server->clearFaults());
}

qint64 ServerAdminTest::idOf(const QString &path)
{
    return qint64(server->node(email, path).value(QStringLiteral("id")).toDouble());
}

bool ServerAdminTest::onDatabase(const QString &sql)
{
    sqlite3 *db = nullptr;
    const QByteArray path = QFile::encodeName(server->dataDir() + QStringLiteral("/kumat.db"));
    bool done = sqlite3_open_v2(path.constData(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK;
    if (done) {
        sqlite3_busy_timeout(db, 30000);
        char *message = nullptr;
        done = sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, &message) == SQLITE_OK;
        if (!done)
            qWarning("%s", message);
        sqlite3_free(message);
    }
    sqlite3_close(db);
    return done;
}

void ServerAdminTest::serveRefusals_data()
{
    QTest::addColumn<QStringList>("arguments"); // %CERT%, %KEY%, %PORT% replaced
    QTest::newRow("no certificate") << QStringList{"--cert", "/yok/cert.pem", "--key", "%KEY%"};
    QTest::newRow("key is not a key") << QStringList{"--cert", "%CERT%", "--key", "%CERT%"};
    QTest::newRow("port taken") << QStringList{"--cert", "%CERT%", "--key", "%KEY%", "--port", "%PORT%"};
    QTest::newRow("port out of range") << QStringList{"--cert", "%CERT%", "--key", "%KEY%", "--port", "70000"};
    QTest::newRow("downloads missing") << QStringList{"--cert", "%CERT%", "--key", "%KEY%", "--port", "0", "--downloads", "/yok/klasör"};
}

void ServerAdminTest::serveRefusals()
{
    QFETCH(QStringList, arguments);
    arguments.replaceInStrings(QStringLiteral("%CERT%"), TestTls::certificatePath());
    arguments.replaceInStrings(QStringLiteral("%KEY%"), TestTls::keyPath());
    arguments.replaceInStrings(QStringLiteral("%PORT%"), QString::number(server->port()));
    QProcess process;
    process.start(ReferenceServer::serverBinary(),
                  QStringList{QStringLiteral("serve"), QStringLiteral("--data"), server->dataDir() + QStringLiteral("-ikinci")}
                      + arguments);
    const bool finished = process.waitForFinished(20000);
    if (!finished) {
        process.kill();
        process.waitForFinished();
    }
    QVERIFY2(finished, "the server started anyway");
    QVERIFY(process.exitCode() != 0);
    QVERIFY(process.readAllStandardOutput().isEmpty()); // never claims to listen
    QVERIFY(!process.readAllStandardError().isEmpty());
}

void ServerAdminTest::addUser()
{
    QVERIFY(!server->addUser(email.toUpper(), QStringLiteral("baska")));
    QVERIFY(!server->lastError().isEmpty());
    QVERIFY(!server->addUser(QStringLiteral("adres-degil"), password));
    QVERIFY(!server->addUser(QStringLiteral("bos@example.com"), QString()));
    // the refused second registration did not change the password
    HttpClient other(server->baseUrl());
    QVERIFY(other.login(email, password));
    QVERIFY(!other.login(email, QStringLiteral("baska")));
}

void ServerAdminTest::putFileMakesFoldersAndVersions()
{
    QJsonObject item;
    QVERIFY2(server->putFile(email, QStringLiteral("Belgeler/Çizim/plan.txt"), "ilk", &item), qPrintable(server->lastError()));
    QCOMPARE(item.value(QStringLiteral("version")).toInt(), 1);
    QVERIFY(server->putFile(email, QStringLiteral("Belgeler/Çizim/plan.txt"), "ikinci", &item));
    QCOMPARE(item.value(QStringLiteral("version")).toInt(), 2);

    const QJsonObject snapshot = client->snapshot().json();
    QCOMPARE(itemAt(snapshot, QStringLiteral("Belgeler")).value(QStringLiteral("type")).toString(), QStringLiteral("folder"));
    QCOMPARE(itemAt(snapshot, QStringLiteral("Belgeler/Çizim")).value(QStringLiteral("type")).toString(), QStringLiteral("folder"));
    const QJsonObject file = itemAt(snapshot, QStringLiteral("Belgeler/Çizim/plan.txt"));
    QCOMPARE(file.value(QStringLiteral("version")).toInt(), 2);
    QCOMPARE(file.value(QStringLiteral("sha256")).toString(), sha256Hex("ikinci"));
    const qint64 id = qint64(file.value(QStringLiteral("id")).toDouble());
    QCOMPARE(client->download(id).body, QByteArray("ikinci"));

    // a device still on version 1 is refused; one on version 2 goes ahead
    const QByteArray parent = QByteArray::number(qint64(file.value(QStringLiteral("parent_id")).toDouble()));
    QCOMPARE(client->upload({{QStringLiteral("parent_id"), parent}, {QStringLiteral("expected_version"), "1"}, {QStringLiteral("name"), "plan.txt"}},
                            "masaüstü")
                 .status,
             409);
    QCOMPARE(client->upload({{QStringLiteral("parent_id"), parent}, {QStringLiteral("expected_version"), "2"}, {QStringLiteral("name"), "plan.txt"}},
                            "masaüstü")
                 .status,
             200);

    // the history names who wrote each version and keeps every content
    const QJsonObject listed = server->node(email, QStringLiteral("Belgeler/Çizim/plan.txt"));
    const QJsonArray versions = listed.value(QStringLiteral("versions")).toArray();
    QCOMPARE(versions.size(), 3);
    QCOMPARE(versions.at(0).toObject().value(QStringLiteral("device")).toString(), QStringLiteral("admin"));
    QCOMPARE(versions.at(2).toObject().value(QStringLiteral("device")).toString(), QStringLiteral("test"));
    QCOMPARE(versions.at(1).toObject().value(QStringLiteral("sha256")).toString(), sha256Hex("ikinci"));
    QCOMPARE(server->content(email, id, 1), QByteArray("ilk"));
    QCOMPARE(server->content(email, id), QByteArray("masaüstü"));
}

void ServerAdminTest::snapshotFollowsEveryWrite()
{
    // The server answers an unchanged tree with the text it made last time;
    // a write by the administration commands (another process on the same
    // database) and one through the API must both show at once.
    QVERIFY(itemAt(client->snapshot().json(), QStringLiteral("a.txt")).isEmpty());
    QVERIFY(server->putFile(email, QStringLiteral("a.txt"), "bir"));
    QCOMPARE(itemAt(client->snapshot().json(), QStringLiteral("a.txt")).value(QStringLiteral("version")).toInt(), 1);
    QCOMPARE(itemAt(client->snapshot().json(), QStringLiteral("a.txt")).value(QStringLiteral("version")).toInt(), 1);
    QVERIFY(server->putFile(email, QStringLiteral("a.txt"), "iki"));
    QCOMPARE(itemAt(client->snapshot().json(), QStringLiteral("a.txt")).value(QStringLiteral("version")).toInt(), 2);

    QVERIFY(client->createFolder(QStringLiteral("Yeni")) > 0);
    QCOMPARE(itemAt(client->snapshot().json(), QStringLiteral("Yeni")).value(QStringLiteral("type")).toString(),
             QStringLiteral("folder"));
}

void ServerAdminTest::adminRefusals_data()
{
    QTest::addColumn<QStringList>("arguments"); // %EMAIL% replaced
    QTest::newRow("put with ..") << QStringList{"put-file", "--email", "%EMAIL%", "--path", "a/../b.txt", "--from", "%SOURCE%"};
    QTest::newRow("put through a file") << QStringList{"put-file", "--email", "%EMAIL%", "--path", "var.txt/b.txt", "--from", "%SOURCE%"};
    QTest::newRow("put over a folder") << QStringList{"put-file", "--email", "%EMAIL%", "--path", "Klasör", "--from", "%SOURCE%"};
    QTest::newRow("put missing source") << QStringList{"put-file", "--email", "%EMAIL%", "--path", "yeni.txt", "--from", "/yok/boyle/dosya"};
    QTest::newRow("put for unknown user") << QStringList{"put-file", "--email", "yok@example.com", "--path", "yeni.txt", "--from", "%SOURCE%"};
    QTest::newRow("portal unknown path") << QStringList{"portal-delete", "--email", "%EMAIL%", "--path", "yok.txt", "--kind", "deleted"};
    QTest::newRow("portal unknown kind") << QStringList{"portal-delete", "--email", "%EMAIL%", "--path", "var.txt", "--kind", "silindi"};
    QTest::newRow("mobile unknown path") << QStringList{"mobile-delete", "--email", "%EMAIL%", "--path", "Klasör/yok"};
    QTest::newRow("restore live node") << QStringList{"restore", "--email", "%EMAIL%", "--path", "var.txt"};
    QTest::newRow("move onto a taken name") << QStringList{"move", "--email", "%EMAIL%", "--path", "var.txt", "--to", "Klasör"};
    QTest::newRow("move through a file") << QStringList{"move", "--email", "%EMAIL%", "--path", "Klasör", "--to", "var.txt/x"};
    QTest::newRow("move into itself") << QStringList{"move", "--email", "%EMAIL%", "--path", "Klasör", "--to", "Klasör/alt/Klasör"};
    QTest::newRow("move unknown path") << QStringList{"move", "--email", "%EMAIL%", "--path", "yok.txt", "--to", "b.txt"};
    QTest::newRow("fault without slash") << QStringList{"fault", "--path-prefix", "api", "--action", "status"};
    QTest::newRow("unknown command") << QStringList{"format-disk", "--email", "%EMAIL%"};
}

void ServerAdminTest::adminRefusals()
{
    QFETCH(QStringList, arguments);
    if (server->node(email, QStringLiteral("var.txt")).isEmpty()) {
        QVERIFY(server->putFile(email, QStringLiteral("var.txt"), "var"));
        QVERIFY(server->putFile(email, QStringLiteral("Klasör/iç.txt"), "iç"));
    }
    QFile source(server->dataDir() + QStringLiteral("/../source.txt"));
    QVERIFY(source.open(QIODevice::WriteOnly));
    source.write("kaynak");
    source.close();
    arguments.replaceInStrings(QStringLiteral("%EMAIL%"), email);
    arguments.replaceInStrings(QStringLiteral("%SOURCE%"), source.fileName());

    const QJsonArray before = server->list(email);
    QVERIFY(!server->runAdmin(arguments));
    QVERIFY(!server->lastError().isEmpty());
    QCOMPARE(server->list(email), before);
}

void ServerAdminTest::portalDeleteRecords_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("folder"); // delete the folder with its content, or one file

    for (const char *kind : {"deleted", "deleted_items", "tombstones", "deleted_ids", "flagged-deleted", "flagged-is_deleted",
                             "flagged-deleted_at"}) {
        QTest::newRow(QByteArray(kind) + " folder") << QString::fromLatin1(kind) << true;
        QTest::newRow(QByteArray(kind) + " file") << QString::fromLatin1(kind) << false;
    }
}

void ServerAdminTest::portalDeleteRecords()
{
    QFETCH(QString, kind);
    QFETCH(bool, folder);

    // each row works in a folder of its own; earlier rows' records stay in the snapshot
    const QString top = QStringLiteral("Satır-%1-%2").arg(kind, folder ? QStringLiteral("klasör") : QStringLiteral("dosya"));
    QJsonObject a, b;
    QVERIFY(server->putFile(email, top + QStringLiteral("/a.jpg"), "a", &a));
    QVERIFY(server->putFile(email, top + QStringLiteral("/2024/b.jpg"), "b", &b));
    const QString target = folder ? top : top + QStringLiteral("/a.jpg");
    const qint64 aId = qint64(a.value(QStringLiteral("id")).toDouble());
    const qint64 bId = qint64(b.value(QStringLiteral("id")).toDouble());
    const qint64 targetId = folder ? qint64(a.value(QStringLiteral("parent_id")).toDouble()) : aId;
    QVERIFY(targetId > 0 && bId > 0);

    QVERIFY2(server->portalDelete(email, target, kind), qPrintable(server->lastError()));

    const QJsonObject snapshot = client->snapshot().json();
    QVERIFY(snapshot.value(QStringLiteral("ok")).toBool());
    // records for this target, wherever they appear
    QHash<QString, QJsonArray> found;
    for (const char *key : {"deleted", "deleted_items", "tombstones"}) {
        for (const QJsonValue &v : snapshot.value(QLatin1String(key)).toArray()) {
            if (qint64(v.toObject().value(QStringLiteral("id")).toDouble()) == targetId)
                found[QLatin1String(key)].append(v);
        }
    }
    for (const QJsonValue &v : snapshot.value(QStringLiteral("deleted_ids")).toArray()) {
        QVERIFY2(v.isDouble(), "deleted_ids holds plain numbers");
        if (qint64(v.toDouble()) == targetId)
            found[QStringLiteral("deleted_ids")].append(v);
    }
    QJsonArray flagged;
    QStringList livePaths;
    for (const QJsonValue &v : snapshot.value(QStringLiteral("items")).toArray()) {
        const QJsonObject item = v.toObject();
        const bool isFlagged = item.value(QStringLiteral("deleted")) == QJsonValue(true)
            || item.value(QStringLiteral("is_deleted")) == QJsonValue(true)
            || !item.value(QStringLiteral("deleted_at")).toString().isEmpty();
        if (isFlagged && qint64(item.value(QStringLiteral("id")).toDouble()) == targetId)
            flagged.append(item);
        else if (!isFlagged)
            livePaths << item.value(QStringLiteral("path")).toString();
    }

    if (kind.startsWith(QLatin1String("flagged-"))) {
        QVERIFY(found.isEmpty());
        QCOMPARE(flagged.size(), 1);
        const QJsonObject item = flagged.at(0).toObject();
        QCOMPARE(item.value(QStringLiteral("path")).toString(), target);
        QCOMPARE(item.value(QStringLiteral("type")).toString(), folder ? QStringLiteral("folder") : QStringLiteral("file"));
        const QString flag = kind.mid(8);
        if (flag == QLatin1String("deleted_at"))
            QVERIFY(!item.value(flag).toString().isEmpty());
        else
            QCOMPARE(item.value(flag), QJsonValue(true));
    } else {
        QVERIFY(flagged.isEmpty());
        QCOMPARE(found.keys(), QStringList{kind});
        QCOMPARE(found.value(kind).size(), 1);
        if (kind != QLatin1String("deleted_ids"))
            QCOMPARE(found.value(kind).at(0).toObject().value(QStringLiteral("path")).toString(), target);
    }
    // the deleted item and everything under it left the tree; the rest stayed
    for (const QString &path : livePaths)
        QVERIFY2(path != target && !path.startsWith(target + QLatin1Char('/')), qPrintable(path));
    QCOMPARE(livePaths.contains(top + QStringLiteral("/2024/b.jpg")), !folder);
    QCOMPARE(client->download(bId).status, folder ? 404 : 200);
    QCOMPARE(client->download(aId).status, 404);
    const QJsonObject listed = server->node(email, target);
    QVERIFY(listed.value(QStringLiteral("trashed")).toBool());
    QCOMPARE(listed.value(QStringLiteral("deletion_records")).toArray(), QJsonArray{kind});
}

void ServerAdminTest::mobileDeleteLeavesNoRecord()
{
    QVERIFY(server->putFile(email, QStringLiteral("Telefon/not.txt"), "n"));
    QVERIFY(server->putFile(email, QStringLiteral("kalan.txt"), "k"));
    QVERIFY(server->mobileDelete(email, QStringLiteral("Telefon")));

    const QJsonObject snapshot = client->snapshot().json();
    QCOMPARE(snapshot.value(QStringLiteral("items")).toArray().size(), 1);
    QCOMPARE(snapshot.value(QStringLiteral("items")).toArray().at(0).toObject().value(QStringLiteral("path")).toString(),
             QStringLiteral("kalan.txt"));
    for (const char *key : {"deleted", "deleted_items", "tombstones", "deleted_ids"})
        QVERIFY2(snapshot.value(QLatin1String(key)).toArray().isEmpty(), key);
    const QJsonObject listed = server->node(email, QStringLiteral("Telefon/not.txt"));
    QVERIFY(listed.value(QStringLiteral("trashed")).toBool());
    QVERIFY(!listed.contains(QStringLiteral("deletion_records")));
}

void ServerAdminTest::restoreRemovesRecord()
{
    QVERIFY(server->putFile(email, QStringLiteral("Geri/x.txt"), "x"));
    const qint64 folder = idOf(QStringLiteral("Geri"));
    QVERIFY(server->portalDelete(email, QStringLiteral("Geri"), QStringLiteral("tombstones")));
    QCOMPARE(client->snapshot().json().value(QStringLiteral("tombstones")).toArray().size(), 1);

    QVERIFY2(server->restore(email, folder), qPrintable(server->lastError()));
    const QJsonObject snapshot = client->snapshot().json();
    QVERIFY(snapshot.value(QStringLiteral("tombstones")).toArray().isEmpty());
    QCOMPARE(itemAt(snapshot, QStringLiteral("Geri/x.txt")).value(QStringLiteral("sha256")).toString(), sha256Hex("x"));

    // a restore into a name that was taken meanwhile is refused
    QVERIFY(server->mobileDelete(email, QStringLiteral("Geri")));
    QVERIFY(server->putFile(email, QStringLiteral("Geri"), "şimdi dosya"));
    QVERIFY(!server->restore(email, folder));
    QVERIFY(!server->lastError().isEmpty());
}

void ServerAdminTest::emptyTrashKeepsSharedContentAndRecords()
{
    QVERIFY(server->putFile(email, QStringLiteral("çöp.txt"), "ortak içerik"));
    QVERIFY(server->putFile(email, QStringLiteral("kalan.txt"), "ortak içerik"));
    const qint64 kept = idOf(QStringLiteral("kalan.txt"));
    QVERIFY(server->portalDelete(email, QStringLiteral("çöp.txt"), QStringLiteral("deleted")));
    QVERIFY(server->emptyTrash(email));

    QCOMPARE(server->list(email).size(), 1);
    // the same content of a live file survives the purge of its twin
    QCOMPARE(client->download(kept).body, QByteArray("ortak içerik"));
    // devices that have not synchronised since still learn of the deletion
    const QJsonArray deleted = client->snapshot().json().value(QStringLiteral("deleted")).toArray();
    QCOMPARE(deleted.size(), 1);
    QCOMPARE(deleted.at(0).toObject().value(QStringLiteral("path")).toString(), QStringLiteral("çöp.txt"));
}

void ServerAdminTest::emptyTrashKeepsContentWhenCommitFails()
{
    QVERIFY(server->putFile(email, QStringLiteral("geri.txt"), "geri alınacak"));
    const qint64 id = idOf(QStringLiteral("geri.txt"));
    QVERIFY(server->mobileDelete(email, QStringLiteral("geri.txt")));
    // a row that still needs the node, checked only at the commit: the purge fails there
    QVERIFY(onDatabase(QStringLiteral("CREATE TABLE pin(node_id INTEGER REFERENCES nodes(id) DEFERRABLE INITIALLY "
                                      "DEFERRED); INSERT INTO pin VALUES (%1);").arg(id)));
    const bool emptied = server->emptyTrash(email);
    QVERIFY(onDatabase(QStringLiteral("DROP TABLE pin;")));
    QVERIFY(!emptied);

    QVERIFY2(server->restore(email, id), qPrintable(server->lastError()));
    QCOMPARE(client->download(id).body, QByteArray("geri alınacak"));
}

void ServerAdminTest::snapshotReadErrorIsNoSnapshot()
{
    for (const char *name : {"a.txt", "b.txt", "c.txt"})
        QVERIFY(server->putFile(email, QString::fromLatin1(name), name));
    QCOMPARE(client->snapshot().json().value(QStringLiteral("items")).toArray().size(), 3);
    const qint64 failing = idOf(QStringLiteral("b.txt"));
    // the table behind a view whose reading fails at one row, part-way through the tree
    QVERIFY(onDatabase(QStringLiteral(
        "ALTER TABLE nodes RENAME TO nodes_kept; "
        "CREATE VIEW nodes AS SELECT id, user_id, parent_id, "
        "CASE WHEN id = %1 THEN abs(-9223372036854775808) ELSE name END AS name, "
        "type, version, sha256, size, trashed FROM nodes_kept;").arg(failing)));
    auto restoreTable = qScopeGuard([this] {
        QVERIFY(onDatabase(QStringLiteral("DROP VIEW nodes; ALTER TABLE nodes_kept RENAME TO nodes;")));
    });
    for (int attempt = 0; attempt < 2; ++attempt) {
        const HttpReply reply = client->snapshot();
        QCOMPARE(reply.status, 500);
        QVERIFY(!reply.ok());
        QVERIFY(!reply.message().isEmpty());
    }
    restoreTable.dismiss();
    QVERIFY(onDatabase(QStringLiteral("DROP VIEW nodes; ALTER TABLE nodes_kept RENAME TO nodes;")));
    QCOMPARE(client->snapshot().json().value(QStringLiteral("items")).toArray().size(), 3);
}

void ServerAdminTest::downloadsFolder_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentType");

    QTest::newRow("manifest") << "/downloads/latest.json" << 200 << QByteArray("application/json; charset=utf-8");
    QTest::newRow("installer") << "/downloads/Kurulum-1.2.3.exe" << 200 << QByteArray("application/octet-stream");
    QTest::newRow("missing") << "/downloads/yok.exe" << 404 << QByteArray();
    QTest::newRow("dot file") << "/downloads/.gizli" << 404 << QByteArray();
    QTest::newRow("escaped parent") << "/downloads/..%2Fdata%2Fkumat.db" << 404 << QByteArray();
    QTest::newRow("sub folder") << "/downloads/alt/x.exe" << 404 << QByteArray();
    QTest::newRow("folder itself") << "/downloads/alt" << 404 << QByteArray();
}

void ServerAdminTest::downloadsFolder()
{
    QFETCH(QString, path);
    QFETCH(int, status);
    QFETCH(QByteArray, contentType);

    const QString dir = server->downloadsDir();
    QHash<QString, QByteArray> files{{QStringLiteral("latest.json"), R"({"version":"1.2.3","sha256":"00"})"},
                                     {QStringLiteral("Kurulum-1.2.3.exe"), QByteArray(3 * 1024 * 1024 + 7, '\x4d')},
                                     {QStringLiteral(".gizli"), "gizli"},
                                     {QStringLiteral("alt/x.exe"), "x"}};
    QDir().mkpath(dir + QStringLiteral("/alt"));
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        QFile f(dir + QLatin1Char('/') + it.key());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(it.value());
    }

    HttpClient anonymous(server->baseUrl()); // the update host needs no token
    const HttpReply reply = anonymous.get(path);
    QCOMPARE(reply.status, status);
    if (status == 200) {
        const QByteArray expected = files.value(path.mid(11));
        QCOMPARE(reply.contentType, contentType);
        QCOMPARE(reply.contentLength, qint64(expected.size()));
        QCOMPARE(sha256Hex(reply.body), sha256Hex(expected));
    } else {
        QCOMPARE(reply.json().value(QStringLiteral("ok")), QJsonValue(false));
    }
}

void ServerAdminTest::faultStatus()
{
    QVERIFY(server->addFault(QStringLiteral("GET"), QStringLiteral("/api/v1/sync/"), QStringLiteral("status"), 503, 2));
    // another path and another method are not affected
    QCOMPARE(client->get(QStringLiteral("/api/v1/me")).status, 200);
    for (int i = 0; i < 2; ++i) {
        const HttpReply failed = client->snapshot();
        QCOMPARE(failed.status, 503);
        QCOMPARE(failed.json().value(QStringLiteral("ok")), QJsonValue(false));
    }
    QCOMPARE(client->snapshot().status, 200);
}

void ServerAdminTest::faultCutAndCorrupt_data()
{
    QTest::addColumn<QString>("action");
    QTest::newRow("cut") << "cut";
    QTest::newRow("corrupt") << "corrupt";
}

void ServerAdminTest::faultCutAndCorrupt()
{
    QFETCH(QString, action);
    const QByteArray content(1024 * 1024, 'k');
    QVERIFY(server->putFile(email, QStringLiteral("bozuk-%1.bin").arg(action), content));
    const qint64 id = idOf(QStringLiteral("bozuk-%1.bin").arg(action));
    QVERIFY(server->addFault(QString(), QStringLiteral("/api/v1/files/%1/").arg(id), action));

    const HttpReply faulty = client->download(id);
    if (action == QLatin1String("cut")) {
        QVERIFY(faulty.error != QNetworkReply::NoError);
        QVERIFY(faulty.body.size() < content.size());
    } else {
        QCOMPARE(faulty.status, 200);
        QCOMPARE(faulty.body.size(), content.size());
        QVERIFY(sha256Hex(faulty.body) != sha256Hex(content));
    }
    // the fault was used up: the next download is whole
    QCOMPARE(sha256Hex(client->download(id).body), sha256Hex(content));
}

void ServerAdminTest::faultOnUploadStoresNothing()
{
    QVERIFY(server->addFault(QStringLiteral("POST"), QStringLiteral("/api/v1/files/upload"), QStringLiteral("status"), 500));
    const HttpReply refused = client->upload({{QStringLiteral("name"), "yeni.txt"}}, QByteArray(500000, 'y'));
    QCOMPARE(refused.status, 500);
    QVERIFY(client->snapshot().json().value(QStringLiteral("items")).toArray().isEmpty());
    QCOMPARE(client->upload({{QStringLiteral("name"), "yeni.txt"}}, "y").status, 200);
}

void ServerAdminTest::faultSlow()
{
    const QByteArray content(60000, 's');
    QVERIFY(server->putFile(email, QStringLiteral("yavaş.bin"), content));
    const qint64 id = idOf(QStringLiteral("yavaş.bin"));
    QVERIFY(server->addSlowFault(QStringLiteral("GET"), QStringLiteral("/api/v1/files/"), 100000));
    QVERIFY(server->addSlowFault(QStringLiteral("POST"), QStringLiteral("/api/v1/files/upload"), 100000));

    // the server holds both directions back; only the lower bound is certain
    QElapsedTimer clock;
    clock.start();
    const HttpReply download = client->download(id);
    QVERIFY(clock.elapsed() >= 500);
    QCOMPARE(download.body, content);

    clock.restart();
    const HttpReply upload = client->upload({{QStringLiteral("name"), "yavaş-yükleme.bin"}}, QByteArray(50000, 'u'));
    QVERIFY(clock.elapsed() >= 400);
    QCOMPARE(upload.status, 200);
    QCOMPARE(upload.json()["item"].toObject()["sha256"].toString(), sha256Hex(QByteArray(50000, 'u')));
}

QTEST_GUILESS_MAIN(ServerAdminTest)
#include "tst_serveradmin.moc"
