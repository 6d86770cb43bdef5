// The reference server's HTTPS API: every endpoint, the refusals, the version
// rules of uploads, and two devices at once.

#include "httpclient.h"
#include "referenceserver.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QDir>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTemporaryFile>
#include <QTest>
#include <QThread>

#include <memory>

using Fields = QList<QPair<QString, QByteArray>>;

class ServerApiTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();

    void login_data();
    void login();
    void tokensPerDevice();
    void unauthenticated_data();
    void unauthenticated();
    void me();

    void createFolder();
    void badFolderRequest_data();
    void badFolderRequest();

    void uploadVersionRules();
    void uploadIntoTrashedNameStartsAgain();
    void badUpload_data();
    void badUpload();
    void unicodeAndEmptyFile();
    void snapshotItemMatchesUploadReply_data();
    void snapshotItemMatchesUploadReply();
    void largeUploadAndDownloadAreStreamed();
    void abortedUploadLeavesNothing();

    void downloadRefusals_data();
    void downloadRefusals();
    void deleteMovesSubtreeToTrash();
    void twoDevicesRaceForOneVersion();
    void twoDevicesUploadAtOnce();
    void restartKeepsEverything();

private:
    // A fresh user for each test function, logged in on `client`.
    QString freshUser();
    QStringList snapshotPaths();
    QStringList stagingLeftovers() const;

    std::unique_ptr<ReferenceServer> server;
    std::unique_ptr<HttpClient> client;
    qint64 foreignFolder();

    QString email;
    QString otherEmail;
    QByteArray currentFunction;
    QHash<QString, qint64> setup; // ids made by the first data row of a test function
    qint64 foreign = 0;
    int userCounter = 0;
};

static const QString password = QStringLiteral("Parola-123");

void ServerApiTest::initTestCase()
{
    server = std::make_unique<ReferenceServer>();
    QVERIFY2(server->start(), qPrintable(server->lastError()));
    otherEmail = QStringLiteral("baska@example.com");
    QVERIFY2(server->addUser(otherEmail, password), qPrintable(server->lastError()));
}

void ServerApiTest::init()
{
    // data rows of one test function share one user and what its first row set up
    const QByteArray function = QTest::currentTestFunction();
    if (function == currentFunction)
        return;
    currentFunction = function;
    setup.clear();
    client = std::make_unique<HttpClient>(server->baseUrl());
    email = freshUser();
    QVERIFY(client->login(email, password));
}

qint64 ServerApiTest::foreignFolder()
{
    if (!foreign) {
        HttpClient other(server->baseUrl());
        if (other.login(otherEmail, password))
            foreign = other.createFolder(QStringLiteral("Yabancı"));
    }
    return foreign;
}

QString ServerApiTest::freshUser()
{
    const QString address = QStringLiteral("kullanici%1@example.com").arg(++userCounter);
    if (!server->addUser(address, password))
        qWarning("add-user failed: %s", qPrintable(server->lastError()));
    return address;
}

QStringList ServerApiTest::snapshotPaths()
{
    QStringList paths;
    for (const QJsonValue &v : client->snapshot().json().value(QStringLiteral("items")).toArray())
        paths << v.toObject().value(QStringLiteral("path")).toString();
    return paths;
}

QStringList ServerApiTest::stagingLeftovers() const
{
    return QDir(server->dataDir() + QStringLiteral("/tmp")).entryList(QDir::Files);
}

void ServerApiTest::login_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");

    const QByteArray good = QJsonDocument(QJsonObject{{"email", "login@example.com"}, {"password", password},
                                                      {"device_name", "Kumat Sync Masaüstü"}})
                                .toJson();
    QTest::newRow("correct") << good << 200;
    QTest::newRow("address in other letter case") << QByteArray(R"({"email":"LOGIN@example.com","password":"Parola-123","device_name":"x"})") << 200;
    QTest::newRow("wrong password") << QByteArray(R"({"email":"login@example.com","password":"parola-123","device_name":"x"})") << 401;
    QTest::newRow("unknown address") << QByteArray(R"({"email":"nobody@example.com","password":"Parola-123","device_name":"x"})") << 401;
    QTest::newRow("empty password") << QByteArray(R"({"email":"login@example.com","password":"","device_name":"x"})") << 401;
    QTest::newRow("password missing") << QByteArray(R"({"email":"login@example.com","device_name":"x"})") << 400;
    QTest::newRow("email not a string") << QByteArray(R"({"email":5,"password":"Parola-123"})") << 400;
    QTest::newRow("malformed JSON") << QByteArray(R"({"email":"login@example.com",)") << 400;
    QTest::newRow("array instead of object") << QByteArray(R"(["login@example.com","Parola-123"])") << 400;
    QTest::newRow("empty body") << QByteArray() << 400;
}

void ServerApiTest::login()
{
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    static bool added = false;
    if (!added)
        QVERIFY2(added = server->addUser(QStringLiteral("login@example.com"), password), qPrintable(server->lastError()));

    HttpClient anonymous(server->baseUrl());
    const HttpReply reply = anonymous.postRaw(QStringLiteral("/api/v1/auth/login"), body);
    QCOMPARE(reply.status, status);
    QVERIFY(reply.contentType.startsWith("application/json"));
    if (status == 200) {
        QVERIFY(reply.ok());
        QVERIFY(reply.json().value(QStringLiteral("token")).toString().size() >= 32);
    } else {
        QCOMPARE(reply.json().value(QStringLiteral("ok")), QJsonValue(false));
        QVERIFY(!reply.message().isEmpty());
    }
}

void ServerApiTest::tokensPerDevice()
{
    HttpClient phone(server->baseUrl());
    QVERIFY(phone.login(email, password, QStringLiteral("telefon")));
    // both devices stay signed in with their own token
    const HttpReply mine = client->get(QStringLiteral("/api/v1/me"));
    const HttpReply theirs = phone.get(QStringLiteral("/api/v1/me"));
    QCOMPARE(mine.status, 200);
    QCOMPARE(theirs.status, 200);
    QCOMPARE(theirs.json().value(QStringLiteral("device_name")).toString(), QStringLiteral("telefon"));

    HttpClient forged(server->baseUrl());
    forged.setToken(QStringLiteral("A").repeated(43));
    QCOMPARE(forged.get(QStringLiteral("/api/v1/me")).status, 401);
}

void ServerApiTest::unauthenticated_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("token");

    const QString none;
    const QString bogus = QStringLiteral("bogus-token");
    for (const QString &token : {none, bogus}) {
        const char *suffix = token.isEmpty() ? " without token" : " with a bogus token";
        QTest::newRow(QByteArray("me") + suffix) << QByteArray("GET") << "/api/v1/me" << token;
        QTest::newRow(QByteArray("snapshot") + suffix) << QByteArray("GET") << "/api/v1/sync/snapshot" << token;
        QTest::newRow(QByteArray("folders") + suffix) << QByteArray("POST") << "/api/v1/folders" << token;
        QTest::newRow(QByteArray("delete") + suffix) << QByteArray("DELETE") << "/api/v1/nodes/1" << token;
        QTest::newRow(QByteArray("download") + suffix) << QByteArray("GET") << "/api/v1/files/1/download" << token;
        QTest::newRow(QByteArray("upload") + suffix) << QByteArray("UPLOAD") << "/api/v1/files/upload" << token;
    }
}

void ServerApiTest::unauthenticated()
{
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    QFETCH(QString, token);

    if (!setup.contains(QStringLiteral("folder")))
        setup.insert(QStringLiteral("folder"), client->createFolder(QStringLiteral("Gizli")));
    QVERIFY(setup.value(QStringLiteral("folder")) > 0);
    HttpClient stranger(server->baseUrl());
    stranger.setToken(token);
    HttpReply reply;
    if (method == "UPLOAD")
        reply = stranger.upload({{QStringLiteral("name"), "x.txt"}}, "content");
    else if (method == "POST")
        reply = stranger.post(path, {{QStringLiteral("name"), QStringLiteral("x")}, {QStringLiteral("parent_id"), QJsonValue()}});
    else
        reply = HttpClient::finish(stranger.start(method, path));
    QCOMPARE(reply.status, 401);
    QCOMPARE(reply.json().value(QStringLiteral("ok")), QJsonValue(false));
    QVERIFY(!reply.message().isEmpty());
    QCOMPARE(snapshotPaths(), QStringList{QStringLiteral("Gizli")});
}

void ServerApiTest::me()
{
    const HttpReply reply = client->get(QStringLiteral("/api/v1/me"));
    QCOMPARE(reply.status, 200);
    QVERIFY(reply.ok());
    QCOMPARE(reply.json().value(QStringLiteral("user")).toObject().value(QStringLiteral("email")).toString(), email);
}

void ServerApiTest::createFolder()
{
    const HttpReply top = client->post(QStringLiteral("/api/v1/folders"),
                                       {{QStringLiteral("name"), QStringLiteral("Belgeler")}, {QStringLiteral("parent_id"), QJsonValue()}});
    QCOMPARE(top.status, 200);
    const QJsonObject item = top.json().value(QStringLiteral("item")).toObject();
    const qint64 topId = qint64(item.value(QStringLiteral("id")).toDouble());
    QVERIFY(topId >= 1);
    QCOMPARE(item.value(QStringLiteral("type")).toString(), QStringLiteral("folder"));
    QCOMPARE(item.value(QStringLiteral("path")).toString(), QStringLiteral("Belgeler"));

    const HttpReply nested = client->post(QStringLiteral("/api/v1/folders"),
                                          {{QStringLiteral("name"), QStringLiteral("2024")}, {QStringLiteral("parent_id"), double(topId)}});
    QCOMPARE(nested.status, 200);
    QCOMPARE(nested.json().value(QStringLiteral("item")).toObject().value(QStringLiteral("parent_id")).toDouble(), double(topId));

    // "parent_id" left out means the top as well
    QCOMPARE(client->post(QStringLiteral("/api/v1/folders"), {{QStringLiteral("name"), QStringLiteral("Üst")}}).status, 200);

    const QJsonObject snapshot = client->snapshot().json();
    QCOMPARE(snapshotPaths(), (QStringList{QStringLiteral("Belgeler"), QStringLiteral("Belgeler/2024"), QStringLiteral("Üst")}));
    for (const char *key : {"deleted", "deleted_items", "tombstones", "deleted_ids"})
        QVERIFY2(snapshot.value(QLatin1String(key)).isArray(), key);
    QCOMPARE(itemAt(snapshot, QStringLiteral("Belgeler/2024")).value(QStringLiteral("type")).toString(), QStringLiteral("folder"));
}

void ServerApiTest::badFolderRequest_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");

    // %PARENT% is an existing folder, %FILE% an existing file, %FOREIGN% another user's folder
    QTest::newRow("empty name") << QByteArray(R"({"name":"","parent_id":null})") << 400;
    QTest::newRow("dot") << QByteArray(R"({"name":".","parent_id":null})") << 400;
    QTest::newRow("dot dot") << QByteArray(R"({"name":"..","parent_id":%PARENT%})") << 400;
    QTest::newRow("slash") << QByteArray(R"({"name":"a/b","parent_id":null})") << 400;
    QTest::newRow("backslash") << QByteArray(R"({"name":"a\\b","parent_id":null})") << 400;
    QTest::newRow("NUL") << QByteArray(R"({"name":"a\u0000b","parent_id":null})") << 400;
    QTest::newRow("newline") << QByteArray(R"({"name":"a\nb","parent_id":null})") << 400;
    QTest::newRow("name missing") << QByteArray(R"({"parent_id":null})") << 400;
    QTest::newRow("name not a string") << QByteArray(R"({"name":12,"parent_id":null})") << 400;
    QTest::newRow("parent as text") << QByteArray(R"({"name":"x","parent_id":"%PARENT%"})") << 400;
    QTest::newRow("parent fraction") << QByteArray(R"({"name":"x","parent_id":1.5})") << 400;
    QTest::newRow("parent zero") << QByteArray(R"({"name":"x","parent_id":0})") << 400;
    QTest::newRow("parent unknown") << QByteArray(R"({"name":"x","parent_id":987654})") << 404;
    QTest::newRow("parent of another user") << QByteArray(R"({"name":"x","parent_id":%FOREIGN%})") << 404;
    QTest::newRow("parent is a file") << QByteArray(R"({"name":"x","parent_id":%FILE%})") << 400;
    QTest::newRow("duplicate folder") << QByteArray(R"({"name":"Var","parent_id":null})") << 409;
    QTest::newRow("name of a file") << QByteArray(R"({"name":"dosya.txt","parent_id":%PARENT%})") << 409;
    QTest::newRow("malformed JSON") << QByteArray(R"({"name":"x",)") << 400;
    QTest::newRow("too large") << QByteArray(R"({"name":"x","pad":")") + QByteArray(70000, 'a') + "\"}" << 413;
}

void ServerApiTest::badFolderRequest()
{
    QFETCH(QByteArray, body);
    QFETCH(int, status);

    if (setup.isEmpty()) {
        const qint64 parent = client->createFolder(QStringLiteral("Var"));
        const HttpReply file = client->upload({{QStringLiteral("parent_id"), QByteArray::number(parent)}, {QStringLiteral("name"), "dosya.txt"}},
                                              "içerik");
        setup.insert(QStringLiteral("parent"), parent);
        setup.insert(QStringLiteral("file"), qint64(file.json()["item"].toObject()["id"].toDouble()));
    }
    QVERIFY(setup.value(QStringLiteral("parent")) > 0 && setup.value(QStringLiteral("file")) > 0);
    QVERIFY(foreignFolder() > 0);

    body.replace("%PARENT%", QByteArray::number(setup.value(QStringLiteral("parent"))));
    body.replace("%FOREIGN%", QByteArray::number(foreignFolder()));
    body.replace("%FILE%", QByteArray::number(setup.value(QStringLiteral("file"))));
    const QStringList before = snapshotPaths();
    const HttpReply reply = client->postRaw(QStringLiteral("/api/v1/folders"), body);
    QCOMPARE(reply.status, status);
    QCOMPARE(reply.json().value(QStringLiteral("ok")), QJsonValue(false));
    QVERIFY(!reply.message().isEmpty());
    QCOMPARE(snapshotPaths(), before);
}

void ServerApiTest::uploadVersionRules()
{
    const HttpReply first = client->upload({{QStringLiteral("name"), "notlar.txt"}}, "bir");
    QCOMPARE(first.status, 200);
    const QJsonObject item = first.json().value(QStringLiteral("item")).toObject();
    const qint64 id = qint64(item.value(QStringLiteral("id")).toDouble());
    QCOMPARE(item.value(QStringLiteral("version")).toInt(), 1);
    QCOMPARE(item.value(QStringLiteral("sha256")).toString(), sha256Hex("bir"));
    QCOMPARE(item.value(QStringLiteral("path")).toString(), QStringLiteral("notlar.txt"));

    struct Step
    {
        QByteArray expected; // empty: field left out
        QByteArray content;
        int status;
        int versionAfter;
    };
    const Step steps[] = {
        {{}, "iki", 409, 1},     // an existing file is never replaced blindly
        {"0", "iki", 409, 1},    // outdated
        {"2", "iki", 409, 1},    // ahead of the server
        {"1", "iki", 200, 2},    // based on the current version
        {"1", "üç", 409, 2},     // the same base again is now outdated
        {"2", "üç", 200, 3},
    };
    for (const Step &step : steps) {
        Fields fields{{QStringLiteral("name"), "notlar.txt"}};
        if (!step.expected.isEmpty())
            fields.prepend({QStringLiteral("expected_version"), step.expected});
        const HttpReply reply = client->upload(fields, step.content);
        QCOMPARE(reply.status, step.status);
        if (step.status == 200) {
            const QJsonObject stored = reply.json().value(QStringLiteral("item")).toObject();
            QCOMPARE(qint64(stored.value(QStringLiteral("id")).toDouble()), id);
            QCOMPARE(stored.value(QStringLiteral("version")).toInt(), step.versionAfter);
        } else {
            QVERIFY(!reply.message().isEmpty());
        }
        const QJsonObject current = itemAt(client->snapshot().json(), QStringLiteral("notlar.txt"));
        QCOMPARE(current.value(QStringLiteral("version")).toInt(), step.versionAfter);
        // the server's content always matches its digest, refused uploads left no trace
        const HttpReply content = client->download(id);
        QCOMPARE(sha256Hex(content.body), current.value(QStringLiteral("sha256")).toString());
    }
    QCOMPARE(client->download(id).body, QByteArray("üç"));
    QVERIFY(stagingLeftovers().isEmpty());
    // every overwritten version is still kept
    QCOMPARE(server->content(email, id, 1), QByteArray("bir"));
    QCOMPARE(server->content(email, id, 2), QByteArray("iki"));
}

void ServerApiTest::uploadIntoTrashedNameStartsAgain()
{
    const HttpReply first = client->upload({{QStringLiteral("name"), "a.txt"}}, "eski");
    const qint64 oldId = qint64(first.json()["item"].toObject()["id"].toDouble());
    QCOMPARE(client->del(QStringLiteral("/api/v1/nodes/%1").arg(oldId)).status, 200);

    // an edit based on a version that was deleted meanwhile is kept as a new file
    const HttpReply again = client->upload({{QStringLiteral("expected_version"), "1"}, {QStringLiteral("name"), "a.txt"}}, "yeni");
    QCOMPARE(again.status, 200);
    const QJsonObject item = again.json().value(QStringLiteral("item")).toObject();
    QVERIFY(qint64(item.value(QStringLiteral("id")).toDouble()) != oldId);
    QCOMPARE(item.value(QStringLiteral("version")).toInt(), 1);
    QCOMPARE(snapshotPaths(), QStringList{QStringLiteral("a.txt")});
}

void ServerApiTest::badUpload_data()
{
    QTest::addColumn<QStringList>("fields"); // name=value; %PARENT%, %FILE%, %FOREIGN% replaced
    QTest::addColumn<bool>("withFile");
    QTest::addColumn<int>("status");

    QTest::newRow("name missing") << QStringList{} << true << 400;
    QTest::newRow("file missing") << QStringList{"name=x.txt"} << false << 400;
    QTest::newRow("empty name") << QStringList{"name="} << true << 400;
    QTest::newRow("dot dot") << QStringList{"name=.."} << true << 400;
    QTest::newRow("slash in name") << QStringList{"name=../x.txt"} << true << 400;
    QTest::newRow("backslash in name") << QStringList{"name=a\\b.txt"} << true << 400;
    QTest::newRow("parent unknown") << QStringList{"parent_id=987654", "name=x.txt"} << true << 404;
    QTest::newRow("parent of another user") << QStringList{"parent_id=%FOREIGN%", "name=x.txt"} << true << 404;
    QTest::newRow("parent is a file") << QStringList{"parent_id=%FILE%", "name=x.txt"} << true << 400;
    QTest::newRow("parent not a number") << QStringList{"parent_id=abc", "name=x.txt"} << true << 400;
    QTest::newRow("parent zero") << QStringList{"parent_id=0", "name=x.txt"} << true << 400;
    QTest::newRow("version not a number") << QStringList{"expected_version=bir", "name=x.txt"} << true << 400;
    QTest::newRow("name given twice") << QStringList{"name=x.txt", "name=y.txt"} << true << 400;
    QTest::newRow("name of a folder") << QStringList{"name=Klasör"} << true << 409;
    QTest::newRow("existing file without version") << QStringList{"parent_id=%PARENT%", "name=var.txt"} << true << 409;
}

void ServerApiTest::badUpload()
{
    QFETCH(QStringList, fields);
    QFETCH(bool, withFile);
    QFETCH(int, status);

    if (setup.isEmpty()) {
        const qint64 parent = client->createFolder(QStringLiteral("Klasör"));
        const HttpReply existing = client->upload({{QStringLiteral("parent_id"), QByteArray::number(parent)}, {QStringLiteral("name"), "var.txt"}},
                                                  "eski");
        setup.insert(QStringLiteral("parent"), parent);
        setup.insert(QStringLiteral("file"), qint64(existing.json()["item"].toObject()["id"].toDouble()));
    }
    QVERIFY(setup.value(QStringLiteral("parent")) > 0 && setup.value(QStringLiteral("file")) > 0);
    QVERIFY(foreignFolder() > 0);

    Fields form;
    for (QString field : fields) {
        field.replace(QStringLiteral("%PARENT%"), QString::number(setup.value(QStringLiteral("parent"))));
        field.replace(QStringLiteral("%FOREIGN%"), QString::number(foreignFolder()));
        field.replace(QStringLiteral("%FILE%"), QString::number(setup.value(QStringLiteral("file"))));
        const int eq = field.indexOf(QLatin1Char('='));
        form.append({field.left(eq), field.mid(eq + 1).toUtf8()});
    }
    const QJsonObject before = client->snapshot().json();
    QBuffer body;
    body.setData(QByteArray(100000, 'z'));
    body.open(QIODevice::ReadOnly);
    const HttpReply reply = client->uploadDevice(form, withFile ? &body : nullptr);
    QCOMPARE(reply.status, status);
    QCOMPARE(reply.json().value(QStringLiteral("ok")), QJsonValue(false));
    QVERIFY(!reply.message().isEmpty());
    QCOMPARE(client->snapshot().json(), before);
    QVERIFY(stagingLeftovers().isEmpty());
}

void ServerApiTest::unicodeAndEmptyFile()
{
    const qint64 folder = client->createFolder(QStringLiteral("Çalışma Ğüşİö"));
    const QString name = QStringLiteral("boş dosya — ı.txt");
    const HttpReply reply = client->upload({{QStringLiteral("parent_id"), QByteArray::number(folder)}, {QStringLiteral("name"), name.toUtf8()}},
                                           QByteArray());
    QCOMPARE(reply.status, 200);
    const QJsonObject item = itemAt(client->snapshot().json(), QStringLiteral("Çalışma Ğüşİö/") + name);
    QCOMPARE(item.value(QStringLiteral("size")).toInt(), 0);
    QCOMPARE(item.value(QStringLiteral("sha256")).toString(), sha256Hex(QByteArray()));
    const HttpReply content = client->download(qint64(item.value(QStringLiteral("id")).toDouble()));
    QCOMPARE(content.status, 200);
    QCOMPARE(content.contentLength, 0);
    QVERIFY(content.body.isEmpty());
}

void ServerApiTest::snapshotItemMatchesUploadReply_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("plain") << QStringLiteral("rapor.pdf");
    QTest::newRow("turkish") << QStringLiteral("Çalışma ğüşİö — ı.txt");
    QTest::newRow("quote") << QStringLiteral("\"alıntı\".txt");
}

// The snapshot text is written by hand for speed; the upload reply comes from
// the JSON writer. Both must describe a node alike, escapes included.
void ServerApiTest::snapshotItemMatchesUploadReply()
{
    QFETCH(QString, name);
    const HttpReply reply = client->upload({{QStringLiteral("name"), name.toUtf8()}}, QByteArrayLiteral("içerik"));
    QCOMPARE(reply.status, 200);
    const QJsonObject uploaded = reply.json().value(QStringLiteral("item")).toObject();
    QCOMPARE(uploaded.value(QStringLiteral("name")).toString(), name);
    QCOMPARE(itemAt(client->snapshot().json(), name), uploaded);
}

void ServerApiTest::largeUploadAndDownloadAreStreamed()
{
    QTemporaryFile source;
    QVERIFY(source.open());
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QRandomGenerator random(42);
    QByteArray chunk(1 << 16, Qt::Uninitialized);
    qint64 total = 0;
    for (int i = 0; i < 80; ++i) { // 5 MiB
        random.fillRange(reinterpret_cast<quint32 *>(chunk.data()), chunk.size() / 4);
        hash.addData(chunk);
        QCOMPARE(source.write(chunk), chunk.size());
        total += chunk.size();
    }
    QVERIFY(source.seek(0));
    const QString digest = QString::fromLatin1(hash.result().toHex());

    const HttpReply reply = client->uploadDevice({{QStringLiteral("name"), "büyük.bin"}}, &source);
    QCOMPARE(reply.status, 200);
    const QJsonObject item = reply.json().value(QStringLiteral("item")).toObject();
    QCOMPARE(item.value(QStringLiteral("sha256")).toString(), digest);
    QCOMPARE(qint64(item.value(QStringLiteral("size")).toDouble()), total);

    const HttpReply content = client->download(qint64(item.value(QStringLiteral("id")).toDouble()));
    QCOMPARE(content.status, 200);
    QCOMPARE(content.contentLength, total);
    QCOMPARE(content.contentType, QByteArray("application/octet-stream"));
    QCOMPARE(sha256Hex(content.body), digest);
    // the content lives in the blob folder under its digest
    QVERIFY(QFile::exists(server->dataDir() + QStringLiteral("/blobs/") + digest.left(2) + QLatin1Char('/') + digest));
}

namespace {
// Hands out its data in small pieces with a pause, so an upload lasts long enough to be stopped halfway.
class SlowBuffer : public QBuffer
{
protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        QThread::msleep(3);
        return QBuffer::readData(data, qMin<qint64>(maxSize, 32 * 1024));
    }
};
} // namespace

void ServerApiTest::abortedUploadLeavesNothing()
{
    QCOMPARE(client->upload({{QStringLiteral("name"), "yarım.bin"}}, "eski").status, 200);
    auto *body = new SlowBuffer;
    body->setData(QByteArray(16 * 1024 * 1024, 'y'));
    body->open(QIODevice::ReadOnly);
    QNetworkReply *reply = client->startUpload({{QStringLiteral("expected_version"), "1"}, {QStringLiteral("name"), "yarım.bin"}}, body);
    body->setParent(reply);
    // stop once the server is demonstrably receiving (its staging file exists)
    QTRY_VERIFY_WITH_TIMEOUT(!stagingLeftovers().isEmpty() || reply->isFinished(), 20000);
    QVERIFY(!reply->isFinished());
    reply->abort();
    HttpClient::finish(reply);

    QTRY_VERIFY_WITH_TIMEOUT(stagingLeftovers().isEmpty(), 10000);
    const QJsonObject item = itemAt(client->snapshot().json(), QStringLiteral("yarım.bin"));
    QCOMPARE(item.value(QStringLiteral("version")).toInt(), 1);
    QCOMPARE(client->download(qint64(item.value(QStringLiteral("id")).toDouble())).body, QByteArray("eski"));
}

void ServerApiTest::downloadRefusals_data()
{
    QTest::addColumn<QString>("target"); // %FOLDER%, %TRASHED%, %FOREIGN% replaced
    QTest::newRow("unknown id") << "987654";
    QTest::newRow("zero") << "0";
    QTest::newRow("not a number") << "abc";
    QTest::newRow("negative") << "-1";
    QTest::newRow("huge") << "99999999999999999999999";
    QTest::newRow("folder") << "%FOLDER%";
    QTest::newRow("trashed file") << "%TRASHED%";
    QTest::newRow("file of another user") << "%FOREIGN%";
}

void ServerApiTest::downloadRefusals()
{
    QFETCH(QString, target);
    if (setup.isEmpty()) {
        setup.insert(QStringLiteral("folder"), client->createFolder(QStringLiteral("K")));
        const qint64 trashed = qint64(client->upload({{QStringLiteral("name"), "t.txt"}}, "t").json()["item"].toObject()["id"].toDouble());
        QCOMPARE(client->del(QStringLiteral("/api/v1/nodes/%1").arg(trashed)).status, 200);
        setup.insert(QStringLiteral("trashed"), trashed);
        HttpClient other(server->baseUrl());
        QVERIFY(other.login(otherEmail, password));
        setup.insert(QStringLiteral("foreign"),
                     qint64(other.upload({{QStringLiteral("name"), "onun.txt"}}, "onun").json()["item"].toObject()["id"].toDouble()));
    }
    QVERIFY(setup.value(QStringLiteral("foreign")) > 0);

    target.replace(QStringLiteral("%FOLDER%"), QString::number(setup.value(QStringLiteral("folder"))));
    target.replace(QStringLiteral("%TRASHED%"), QString::number(setup.value(QStringLiteral("trashed"))));
    target.replace(QStringLiteral("%FOREIGN%"), QString::number(setup.value(QStringLiteral("foreign"))));
    const HttpReply reply = client->get(QStringLiteral("/api/v1/files/%1/download").arg(target));
    QCOMPARE(reply.status, 404);
    QCOMPARE(reply.json().value(QStringLiteral("ok")), QJsonValue(false));
    QVERIFY(!reply.message().isEmpty());
}

void ServerApiTest::deleteMovesSubtreeToTrash()
{
    const qint64 photos = client->createFolder(QStringLiteral("Fotoğraflar"));
    const qint64 year = client->createFolder(QStringLiteral("2024"), photos);
    const qint64 a = qint64(client->upload({{QStringLiteral("parent_id"), QByteArray::number(photos)}, {QStringLiteral("name"), "a.jpg"}}, "a")
                                .json()["item"].toObject()["id"].toDouble());
    const qint64 b = qint64(client->upload({{QStringLiteral("parent_id"), QByteArray::number(year)}, {QStringLiteral("name"), "b.jpg"}}, "b")
                                .json()["item"].toObject()["id"].toDouble());
    QVERIFY(client->createFolder(QStringLiteral("Kalan")) > 0);

    const HttpReply reply = client->del(QStringLiteral("/api/v1/nodes/%1").arg(photos));
    QCOMPARE(reply.status, 200);
    QVERIFY(reply.ok());
    QCOMPARE(snapshotPaths(), QStringList{QStringLiteral("Kalan")});
    QCOMPARE(client->download(a).status, 404);
    QCOMPARE(client->download(b).status, 404);
    // deleting from the application leaves no deletion record
    const QJsonObject snapshot = client->snapshot().json();
    for (const char *key : {"deleted", "deleted_items", "tombstones", "deleted_ids"})
        QVERIFY2(snapshot.value(QLatin1String(key)).toArray().isEmpty(), key);
    // gone already, or never there
    QCOMPARE(client->del(QStringLiteral("/api/v1/nodes/%1").arg(b)).status, 404);
    QCOMPARE(client->del(QStringLiteral("/api/v1/nodes/987654")).status, 404);
    QCOMPARE(client->del(QStringLiteral("/api/v1/nodes/abc")).status, 404);
    // the trash still holds everything
    int trashed = 0;
    for (const QJsonValue &v : server->list(email))
        trashed += v.toObject().value(QStringLiteral("trashed")).toBool();
    QCOMPARE(trashed, 4);
}

void ServerApiTest::twoDevicesRaceForOneVersion()
{
    HttpClient phone(server->baseUrl());
    QVERIFY(phone.login(email, password, QStringLiteral("telefon")));
    QCOMPARE(client->upload({{QStringLiteral("name"), "ortak.txt"}}, "v1").status, 200);

    // both devices send an edit based on version 1 at the same time: one wins, one is refused
    auto *mine = new QBuffer;
    mine->setData(QByteArray(300000, 'm'));
    mine->open(QIODevice::ReadOnly);
    auto *theirs = new QBuffer;
    theirs->setData(QByteArray(300000, 't'));
    theirs->open(QIODevice::ReadOnly);
    QNetworkReply *a = client->startUpload({{QStringLiteral("expected_version"), "1"}, {QStringLiteral("name"), "ortak.txt"}}, mine);
    QNetworkReply *b = phone.startUpload({{QStringLiteral("expected_version"), "1"}, {QStringLiteral("name"), "ortak.txt"}}, theirs);
    mine->setParent(a);
    theirs->setParent(b);
    const HttpReply ra = HttpClient::finish(a);
    const HttpReply rb = HttpClient::finish(b);
    QCOMPARE(QList<int>({ra.status, rb.status}).count(200), 1);
    QCOMPARE(QList<int>({ra.status, rb.status}).count(409), 1);

    const QJsonObject item = itemAt(client->snapshot().json(), QStringLiteral("ortak.txt"));
    QCOMPARE(item.value(QStringLiteral("version")).toInt(), 2);
    const QByteArray winner = ra.status == 200 ? QByteArray(300000, 'm') : QByteArray(300000, 't');
    QCOMPARE(client->download(qint64(item.value(QStringLiteral("id")).toDouble())).body, winner);
}

void ServerApiTest::twoDevicesUploadAtOnce()
{
    HttpClient phone(server->baseUrl());
    QVERIFY(phone.login(email, password, QStringLiteral("telefon")));
    QList<QNetworkReply *> replies;
    for (int i = 0; i < 6; ++i) {
        HttpClient &device = i % 2 ? phone : *client;
        auto *body = new QBuffer;
        body->setData(QByteArray(200000 + i, char('a' + i)));
        body->open(QIODevice::ReadOnly);
        QNetworkReply *reply = device.startUpload({{QStringLiteral("name"), QStringLiteral("dosya%1.bin").arg(i).toUtf8()}}, body);
        body->setParent(reply);
        replies << reply;
    }
    // a snapshot request in between is answered while the uploads run
    QCOMPARE(phone.snapshot().status, 200);
    for (QNetworkReply *reply : replies)
        QCOMPARE(HttpClient::finish(reply).status, 200);
    const QJsonObject snapshot = client->snapshot().json();
    for (int i = 0; i < 6; ++i) {
        const QJsonObject item = itemAt(snapshot, QStringLiteral("dosya%1.bin").arg(i));
        QCOMPARE(item.value(QStringLiteral("sha256")).toString(), sha256Hex(QByteArray(200000 + i, char('a' + i))));
    }
}

void ServerApiTest::restartKeepsEverything()
{
    const HttpReply stored = client->upload({{QStringLiteral("name"), "kalıcı.txt"}}, "dayanıklı");
    QCOMPARE(stored.status, 200);
    const QJsonObject before = client->snapshot().json();

    server->stop();
    QVERIFY2(server->start(), qPrintable(server->lastError()));
    HttpClient again(server->baseUrl());
    QVERIFY(again.login(email, password));
    QCOMPARE(again.snapshot().json(), before);
    QCOMPARE(again.download(qint64(stored.json()["item"].toObject()["id"].toDouble())).body, QByteArray("dayanıklı"));
    client = std::make_unique<HttpClient>(server->baseUrl());
    QVERIFY(client->login(email, password));
}

QTEST_GUILESS_MAIN(ServerApiTest)
#include "tst_serverapi.moc"
