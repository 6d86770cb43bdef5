// The small JSON endpoints: login, me, snapshot, folder creation, node deletion.

#include "apiclient.h"
#include "apitestaccess.h"
#include "scriptedserver.h"
#include "testtls.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

class TestApiEndpoints : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    void loginStoresToken();
    void loginFailure_data();
    void loginFailure();
    void secondLoginSendsNoToken();
    void meAndSnapshotReturnEnvelope();

    void createFolderParent_data();
    void createFolderParent();

    void deleteInvalidIdSendsNothing_data();
    void deleteInvalidIdSendsNothing();
    void deleteOutcome_data();
    void deleteOutcome();
};

void TestApiEndpoints::initTestCase()
{
    QVERIFY(TestTls::ensure());
}

void TestApiEndpoints::loginStoresToken()
{
    ScriptedHttpsServer server;
    QVERIFY(server.listen());
    server.setHandler([](const ScriptedRequest &) {
        return ScriptedResponse::json(200, R"({"ok":true,"token":"abc.def"})");
    });
    ApiClient client;
    client.setBaseUrl(server.baseUrl());

    // sent as typed: no trimming
    QVERIFY(client.login(QStringLiteral(" ayşe@example.com "), QStringLiteral(" p\"ş "),
                         QStringLiteral("Kumat Sync Masaüstü")));
    QCOMPARE(client.token(), QStringLiteral("abc.def"));
    QVERIFY(client.lastError().isEmpty());

    QCOMPARE(server.requests.size(), 1);
    const ScriptedRequest &seen = server.requests.first();
    QCOMPARE(seen.method, QByteArray("POST"));
    QCOMPARE(seen.target, QByteArray("/api/v1/auth/login"));
    QVERIFY(!seen.hasHeader("Authorization"));
    const QJsonObject body = QJsonDocument::fromJson(seen.body).object();
    QCOMPARE(body.size(), 3);
    QCOMPARE(body.value("email").toString(), QStringLiteral(" ayşe@example.com "));
    QCOMPARE(body.value("password").toString(), QStringLiteral(" p\"ş "));
    QCOMPARE(body.value("device_name").toString(), QStringLiteral("Kumat Sync Masaüstü"));

    // later calls carry it
    client.me();
    QCOMPARE(server.requests.last().header("Authorization"), QByteArray("Bearer abc.def"));
}

void TestApiEndpoints::loginFailure_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("message");
    QTest::newRow("401 envelope") << 401 << QByteArray(R"({"ok":false,"message":"E-posta veya şifre hatalı."})")
                                  << QStringLiteral("E-posta veya şifre hatalı.");
    QTest::newRow("ok without token") << 200 << QByteArray(R"({"ok":true})") << QString();
    QTest::newRow("empty token") << 200 << QByteArray(R"({"ok":true,"token":""})") << QString();
    QTest::newRow("token not a string") << 200 << QByteArray(R"({"ok":true,"token":12})") << QString();
    QTest::newRow("error page") << 500 << QByteArray("Internal error") << QStringLiteral("Sunucudan geçersiz yanıt alındı.");
}

void TestApiEndpoints::loginFailure()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, message);
    ScriptedHttpsServer server;
    QVERIFY(server.listen());
    server.setHandler([&](const ScriptedRequest &) { return ScriptedResponse::json(status, body); });
    ApiClient client;
    client.setBaseUrl(server.baseUrl());
    // a failed login leaves no earlier token behind
    ApiClientTestAccess::setToken(client, QStringLiteral("eski"));

    QVERIFY(!client.login(QStringLiteral("a@b.c"), QStringLiteral("x"), QStringLiteral("d")));
    QVERIFY(client.token().isEmpty());
    QCOMPARE(client.lastError(), message);
    QVERIFY(!server.requests.first().hasHeader("Authorization"));
}

void TestApiEndpoints::secondLoginSendsNoToken()
{
    ScriptedHttpsServer server;
    QVERIFY(server.listen());
    int logins = 0;
    server.setHandler([&](const ScriptedRequest &) {
        ++logins;
        return ScriptedResponse::json(200, QByteArray(R"({"ok":true,"token":"t)") + QByteArray::number(logins) + "\"}");
    });
    ApiClient client;
    client.setBaseUrl(server.baseUrl());
    QVERIFY(client.login(QStringLiteral("a@b.c"), QStringLiteral("x"), QStringLiteral("d")));
    QCOMPARE(client.token(), QStringLiteral("t1"));
    QVERIFY(client.login(QStringLiteral("a@b.c"), QStringLiteral("x"), QStringLiteral("d")));
    QCOMPARE(client.token(), QStringLiteral("t2"));
    QCOMPARE(server.requests.size(), 2);
    QVERIFY(!server.requests.at(1).hasHeader("Authorization"));
}

void TestApiEndpoints::meAndSnapshotReturnEnvelope()
{
    ScriptedHttpsServer server;
    QVERIFY(server.listen());
    int status = 200;
    QByteArray tree = R"({"ok":true,"items":[],"deleted":[]})";
    server.setHandler([&](const ScriptedRequest &request) {
        if (request.target == "/api/v1/me")
            return ScriptedResponse::json(200, R"({"ok":true,"user":{"email":"a@b.c"}})");
        return ScriptedResponse::json(status, tree);
    });
    ApiClient client;
    client.setBaseUrl(server.baseUrl());
    QCOMPARE(client.me().value("user").toObject().value("email").toString(), QStringLiteral("a@b.c"));
    const QJsonObject snapshot = client.snapshot();
    QVERIFY(snapshot.value("items").isArray());
    QVERIFY(snapshot.value("deleted").isArray());
    QCOMPARE(server.requests.at(1).target, QByteArray("/api/v1/sync/snapshot"));

    // The same text again is the same tree; the same text under a failing
    // status is a failure, and another text is read anew.
    QCOMPARE(client.snapshot(), snapshot);
    QVERIFY(client.lastError().isEmpty());
    status = 503;
    QVERIFY(client.snapshot().isEmpty());
    status = 200;
    QCOMPARE(client.snapshot(), snapshot);
    tree = R"({"ok":true,"items":[{"path":"a.txt"}],"deleted":[]})";
    QCOMPARE(client.snapshot().value("items").toArray().size(), 1);
    QCOMPARE(server.requests.size(), 6);
}

void TestApiEndpoints::createFolderParent_data()
{
    QTest::addColumn<QVariant>("parent");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("top") << QVariant() << QByteArray(R"({"name":"Belgeler","parent_id":null})");
    QTest::newRow("integer") << QVariant(qint64(42)) << QByteArray(R"({"name":"Belgeler","parent_id":42})");
    QTest::newRow("large id") << QVariant(qint64(9007199254740991LL))
                              << QByteArray(R"({"name":"Belgeler","parent_id":9007199254740991})");
}

void TestApiEndpoints::createFolderParent()
{
    QFETCH(QVariant, parent);
    QFETCH(QByteArray, expected);
    ScriptedHttpsServer server;
    QVERIFY(server.listen());
    server.setHandler([](const ScriptedRequest &) {
        return ScriptedResponse::json(201, R"({"ok":true,"item":{"id":77,"type":"folder"}})");
    });
    ApiClient client;
    client.setBaseUrl(server.baseUrl());

    const QJsonObject result = client.createFolder(parent, QStringLiteral("Belgeler"));
    QCOMPARE(result.value("item").toObject().value("id").toInt(), 77);
    QCOMPARE(server.requests.size(), 1);
    QCOMPARE(server.requests.first().target, QByteArray("/api/v1/folders"));
    QCOMPARE(QJsonDocument::fromJson(server.requests.first().body), QJsonDocument::fromJson(expected));
}

void TestApiEndpoints::deleteInvalidIdSendsNothing_data()
{
    QTest::addColumn<qint64>("id");
    QTest::newRow("zero") << qint64(0);
    QTest::newRow("negative") << qint64(-5);
}

void TestApiEndpoints::deleteInvalidIdSendsNothing()
{
    QFETCH(qint64, id);
    ScriptedHttpsServer server;
    QVERIFY(server.listen());
    ApiClient client;
    client.setBaseUrl(server.baseUrl());
    // the earlier message stays: nothing new happened
    server.setHandler([](const ScriptedRequest &) { return ScriptedResponse::json(400, R"({"ok":false,"message":"önce"})"); });
    client.createFolder(QVariant(), QString());
    QCOMPARE(client.lastError(), QStringLiteral("önce"));
    const int before = server.requests.size();

    QVERIFY(!client.deleteNode(id));
    QCOMPARE(client.lastError(), QStringLiteral("önce"));
    QTest::qWait(0);
    QCOMPARE(server.requests.size(), before);
}

void TestApiEndpoints::deleteOutcome_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("deleted");
    QTest::addColumn<QString>("message"); // "*": the network layer's own text

    QTest::newRow("204 empty") << 204 << QByteArray() << true << QString();
    QTest::newRow("200 envelope") << 200 << QByteArray(R"({"ok":true})") << true << QString();
    QTest::newRow("200 ok false still deleted") << 200 << QByteArray(R"({"ok":false})") << true << QString();
    QTest::newRow("304") << 304 << QByteArray() << false << QStringLiteral("Silme isteği başarısız (HTTP 304).");
    QTest::newRow("404 envelope") << 404 << QByteArray(R"({"ok":false,"message":"Öğe bulunamadı."})") << false
                                  << QStringLiteral("Öğe bulunamadı.");
    QTest::newRow("500 plain") << 500 << QByteArray("boom") << false << QStringLiteral("*");
}

void TestApiEndpoints::deleteOutcome()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, deleted);
    QFETCH(QString, message);
    ScriptedHttpsServer server;
    QVERIFY(server.listen());
    server.setHandler([&](const ScriptedRequest &) { return ScriptedResponse::json(status, body); });
    ApiClient client;
    client.setBaseUrl(server.baseUrl());
    ApiClientTestAccess::setToken(client, QStringLiteral("tok"));

    QCOMPARE(client.deleteNode(12), deleted);
    if (message == QLatin1String("*")) {
        QVERIFY(!client.lastError().isEmpty());
        QVERIFY(!client.lastError().startsWith(QStringLiteral("Silme")));
    } else {
        QCOMPARE(client.lastError(), message);
    }
    QCOMPARE(server.requests.size(), 1);
    const ScriptedRequest &seen = server.requests.first();
    QCOMPARE(seen.method, QByteArray("DELETE"));
    QCOMPARE(seen.target, QByteArray("/api/v1/nodes/12"));
    QVERIFY(!seen.hasHeader("Content-Type"));
    QVERIFY(seen.body.isEmpty());
    QCOMPARE(seen.header("Authorization"), QByteArray("Bearer tok"));
}

QTEST_GUILESS_MAIN(TestApiEndpoints)
#include "tst_apiendpoints.moc"
