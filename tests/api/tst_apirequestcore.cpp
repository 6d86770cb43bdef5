// The request core of the server client: address normalisation, the common
// headers, the JSON envelope and its messages, transport failures, cancellation.

#include "apiclient.h"
#include "apitestaccess.h"
#include "scriptedserver.h"
#include "testtls.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

class TestApiRequestCore : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();

    void baseUrlIsNormalised_data();
    void baseUrlIsNormalised();
    void requestCarriesTimeoutAndRedirectCheck();

    void headersInOrder_data();
    void headersInOrder();
    void getThroughJsonCarriesContentTypeWithoutBody();
    void postCarriesCompactJson();

    void envelopeOutcome_data();
    void envelopeOutcome();
    void rawRequestMessage_data();
    void rawRequestMessage();
    void parseOk_data();
    void parseOk();
    void unknownMethodSendsNothing();

    void connectionRefused();
    void connectionCut();
    void cancelStalledRequest_data();
    void cancelStalledRequest();
    void cancelWithNothingInFlight();

private:
    QString refusedBaseUrl();
};

void TestApiRequestCore::initTestCase()
{
    QCoreApplication::setApplicationVersion(QStringLiteral("9.8.7"));
    QVERIFY(TestTls::ensure());
}

QString TestApiRequestCore::refusedBaseUrl()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return QString();
    const quint16 port = probe.serverPort();
    probe.close();
    return QStringLiteral("https://127.0.0.1:%1").arg(port);
}

void TestApiRequestCore::baseUrlIsNormalised_data()
{
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("stored");
    QTest::newRow("blanks and two slashes") << "  https://sync.example.com/kumat//  " << "https://sync.example.com/kumat";
    QTest::newRow("inner slashes stay") << "https://a.example//b/" << "https://a.example//b";
    QTest::newRow("slashes only") << " /// " << "";
    QTest::newRow("untouched") << "https://a.example:8443" << "https://a.example:8443";
    QTest::newRow("malformed kept") << "not a url/" << "not a url";
}

void TestApiRequestCore::baseUrlIsNormalised()
{
    QFETCH(QString, given);
    QFETCH(QString, stored);
    ApiClient client;
    client.setBaseUrl(given);
    QCOMPARE(client.baseUrl(), stored);
}

void TestApiRequestCore::requestCarriesTimeoutAndRedirectCheck()
{
    ApiClient client;
    client.setBaseUrl(QStringLiteral("https://sync.example.com/"));
    const QNetworkRequest request = ApiClientTestAccess::request(client, QStringLiteral("/api/v1/me"));
    QCOMPARE(request.url(), QUrl(QStringLiteral("https://sync.example.com/api/v1/me")));
    QCOMPARE(request.transferTimeout(), 60000);
    // redirects are judged by the client, never followed blindly with the token
    QCOMPARE(request.attribute(QNetworkRequest::RedirectPolicyAttribute).toInt(),
             int(QNetworkRequest::UserVerifiedRedirectPolicy));
    QVERIFY(!request.header(QNetworkRequest::ContentTypeHeader).isValid());
}

void TestApiRequestCore::headersInOrder_data()
{
    QTest::addColumn<QString>("token");
    QTest::addColumn<QByteArrayList>("expected");
    QTest::newRow("without token") << QString() << QByteArrayList{"Accept", "User-Agent"};
    QTest::newRow("with token") << QStringLiteral("tök-123") << QByteArrayList{"Accept", "User-Agent", "Authorization"};
}

void TestApiRequestCore::headersInOrder()
{
    QFETCH(QString, token);
    QFETCH(QByteArrayList, expected);
    ScriptedHttpsServer server;
    QVERIFY(server.listen());
    ApiClient client;
    client.setBaseUrl(server.baseUrl());
    ApiClientTestAccess::setToken(client, token);

    client.me();
    QCOMPARE(server.requests.size(), 1);
    const ScriptedRequest &seen = server.requests.first();

    QByteArrayList ours;
    for (const auto &h : seen.headers) {
        if (QByteArrayList{"accept", "user-agent", "authorization"}.contains(h.first.toLower()))
            ours.append(h.first);
    }
    QCOMPARE(ours, expected);
    QCOMPARE(seen.header("Accept"), QByteArray("application/json"));
    QCOMPARE(seen.header("User-Agent"), QByteArray("Zelnor-KumatSync/9.8.7"));
    if (!token.isEmpty())
        QCOMPARE(seen.header("Authorization"), QByteArray("Bearer ") + token.toUtf8());
}

void TestApiRequestCore::getThroughJsonCarriesContentTypeWithoutBody()
{
    ScriptedHttpsServer server;
    QVERIFY(server.listen());
    ApiClient client;
    client.setBaseUrl(server.baseUrl() + QStringLiteral("/"));
    client.snapshot();
    QCOMPARE(server.requests.size(), 1);
    const ScriptedRequest &seen = server.requests.first();
    QCOMPARE(seen.method, QByteArray("GET"));
    QCOMPARE(seen.target, QByteArray("/api/v1/sync/snapshot"));
    QCOMPARE(seen.header("Content-Type"), QByteArray("application/json"));
    QVERIFY(seen.body.isEmpty());
    QVERIFY(seen.header("Content-Length").toInt() == 0);
}

void TestApiRequestCore::postCarriesCompactJson()
{
    ScriptedHttpsServer server;
    QVERIFY(server.listen());
    ApiClient client;
    client.setBaseUrl(server.baseUrl());
    client.createFolder(QVariant(), QStringLiteral("Ödevler"));
    QCOMPARE(server.requests.size(), 1);
    const ScriptedRequest &seen = server.requests.first();
    QCOMPARE(seen.method, QByteArray("POST"));
    QCOMPARE(seen.header("Content-Type"), QByteArray("application/json"));
    QVERIFY(!seen.body.contains('\n'));
    QVERIFY(!seen.body.contains(": "));
    QCOMPARE(QJsonDocument::fromJson(seen.body).object().value("name").toString(), QStringLiteral("Ödevler"));
}

void TestApiRequestCore::envelopeOutcome_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("message");

    const QString invalid = QStringLiteral("Sunucudan geçersiz yanıt alındı.");
    QTest::newRow("2xx ok") << 200 << QByteArray(R"({"ok":true,"user":{"id":3}})") << true << QString();
    QTest::newRow("201 ok") << 201 << QByteArray(R"({"ok":true})") << true << QString();
    QTest::newRow("401 envelope") << 401 << QByteArray(R"({"ok":false,"message":"Oturum süresi doldu."})") << false
                                  << QStringLiteral("Oturum süresi doldu.");
    QTest::newRow("200 ok false with message") << 200 << QByteArray(R"({"ok":false,"message":"Kota dolu."})") << false
                                               << QStringLiteral("Kota dolu.");
    // a refusal always carries a reason the user can read
    QTest::newRow("empty message") << 400 << QByteArray(R"({"ok":false,"message":""})") << false
                                   << QStringLiteral("İşlem başarısız.");
    QTest::newRow("no message") << 500 << QByteArray(R"({"ok":false})") << false << QStringLiteral("İşlem başarısız.");
    QTest::newRow("message not a string") << 200 << QByteArray(R"({"ok":false,"message":42})") << false
                                          << QStringLiteral("İşlem başarısız.");
    QTest::newRow("ok absent") << 200 << QByteArray(R"({"message":"yok"})") << false << QStringLiteral("yok");
    QTest::newRow("ok not a boolean") << 200 << QByteArray(R"({"ok":"true"})") << false << QStringLiteral("İşlem başarısız.");
    QTest::newRow("html error page") << 502 << QByteArray("<html>Bad gateway</html>") << false << invalid;
    QTest::newRow("json array") << 200 << QByteArray("[1,2]") << false << invalid;
    QTest::newRow("empty body") << 200 << QByteArray() << false << invalid;
    QTest::newRow("ok true outside 2xx") << 300 << QByteArray(R"({"ok":true})") << false << QString();
    QTest::newRow("ok true with 404") << 404 << QByteArray(R"({"ok":true})") << false << QString();
}

void TestApiRequestCore::envelopeOutcome()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, accepted);
    QFETCH(QString, message);

    ScriptedHttpsServer server;
    QVERIFY(server.listen());
    server.setHandler([&](const ScriptedRequest &) { return ScriptedResponse::json(status, body); });
    ApiClient client;
    client.setBaseUrl(server.baseUrl());

    const QJsonObject result = client.me();
    QCOMPARE(!result.isEmpty(), accepted);
    if (accepted)
        QCOMPARE(result, QJsonDocument::fromJson(body).object());
    QCOMPARE(client.lastError(), message);
}

void TestApiRequestCore::rawRequestMessage_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("networkText");
    QTest::addColumn<QString>("message");

    QTest::newRow("success leaves it empty") << 200 << QByteArray("not json") << false << QString();
    QTest::newRow("3xx is no error") << 304 << QByteArray() << false << QString();
    QTest::newRow("error with envelope") << 403 << QByteArray(R"({"ok":false,"message":"Yetkiniz yok."})") << false
                                         << QStringLiteral("Yetkiniz yok.");
    QTest::newRow("error, message not a string") << 403 << QByteArray(R"({"message":1})") << true << QString();
    QTest::newRow("error with html") << 500 << QByteArray("<h1>oops</h1>") << true << QString();
}

void TestApiRequestCore::rawRequestMessage()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, networkText);
    QFETCH(QString, message);

    ScriptedHttpsServer server;
    QVERIFY(server.listen());
    server.setHandler([&](const ScriptedRequest &) { return ScriptedResponse::json(status, body); });
    ApiClient client;
    client.setBaseUrl(server.baseUrl());

    int seenStatus = -1;
    const QByteArray bytes = ApiClientTestAccess::rawRequest(client, QStringLiteral("PATCH"), QStringLiteral("/api/v1/x"),
                                                             QByteArrayLiteral("{}"), QByteArray(), &seenStatus);
    QCOMPARE(server.requests.size(), 1);
    QCOMPARE(server.requests.first().method, QByteArray("PATCH"));
    QCOMPARE(server.requests.first().body, QByteArray("{}"));
    QCOMPARE(seenStatus, status);
    QCOMPARE(bytes, body);
    if (networkText) {
        // the network layer's own description of the failed status
        QVERIFY(!client.lastError().isEmpty());
        QVERIFY(!client.lastError().startsWith(QLatin1Char('{')));
    } else {
        QCOMPARE(client.lastError(), message);
    }
}

void TestApiRequestCore::parseOk_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("message");
    QTest::newRow("ok") << QByteArray(R"({"ok":true,"n":1})") << true << QString();
    QTest::newRow("ok false") << QByteArray(R"({"ok":false,"message":"m"})") << false << QStringLiteral("m");
    QTest::newRow("truncated") << QByteArray(R"({"ok":tr)") << false << QStringLiteral("Sunucudan geçersiz yanıt alındı.");
    QTest::newRow("scalar") << QByteArray("true") << false << QStringLiteral("Sunucudan geçersiz yanıt alındı.");
}

void TestApiRequestCore::parseOk()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, ok);
    QFETCH(QString, message);
    ApiClient client;
    const QJsonObject untouched{{"keep", true}};
    QJsonObject out = untouched;
    QCOMPARE(ApiClientTestAccess::parseOk(client, bytes, &out), ok);
    QCOMPARE(client.lastError(), message);
    QCOMPARE(out, ok ? QJsonDocument::fromJson(bytes).object() : untouched);
    // a null output is allowed
    QCOMPARE(ApiClientTestAccess::parseOk(client, bytes, nullptr), ok);
}

void TestApiRequestCore::unknownMethodSendsNothing()
{
    ScriptedHttpsServer server;
    QVERIFY(server.listen());
    ApiClient client;
    client.setBaseUrl(server.baseUrl());
    int status = 77;
    const QByteArray bytes = ApiClientTestAccess::rawRequest(client, QStringLiteral("get"), QStringLiteral("/api/v1/me"),
                                                             QByteArray(), QByteArray(), &status);
    QVERIFY(bytes.isEmpty());
    QCOMPARE(status, 77);
    QVERIFY(client.lastError().isEmpty());
    QVERIFY(ApiClientTestAccess::replies(client).isEmpty());
    QTest::qWait(0);
    QVERIFY(server.requests.isEmpty());
}

void TestApiRequestCore::connectionRefused()
{
    ApiClient client;
    const QString url = refusedBaseUrl();
    QVERIFY(!url.isEmpty());
    client.setBaseUrl(url);

    QVERIFY(client.me().isEmpty());
    QCOMPARE(client.lastError(), QStringLiteral("Sunucudan geçersiz yanıt alındı."));
    QVERIFY(client.snapshot().isEmpty());
    QCOMPARE(client.lastError(), QStringLiteral("Sunucudan geçersiz yanıt alındı."));
    QVERIFY(client.createFolder(QVariant(), QStringLiteral("a")).isEmpty());
    QCOMPARE(client.lastError(), QStringLiteral("Sunucudan geçersiz yanıt alındı."));
    QVERIFY(!client.login(QStringLiteral("a@b.c"), QStringLiteral("p"), QStringLiteral("d")));
    QCOMPARE(client.lastError(), QStringLiteral("Sunucudan geçersiz yanıt alındı."));

    // the non-JSON caller sees the network layer's reason
    QVERIFY(!client.deleteNode(4));
    QVERIFY(!client.lastError().isEmpty());
    QVERIFY(client.lastError() != QStringLiteral("Sunucudan geçersiz yanıt alındı."));
}

void TestApiRequestCore::connectionCut()
{
    ScriptedHttpsServer server;
    QVERIFY(server.listen());
    server.setHandler([](const ScriptedRequest &) {
        ScriptedResponse r = ScriptedResponse::json(200, R"({"ok":tr)");
        r.action = ScriptedResponse::PartialThenClose;
        r.announcedLength = 100;
        return r;
    });
    ApiClient client;
    client.setBaseUrl(server.baseUrl());
    QVERIFY(client.me().isEmpty());
    QCOMPARE(client.lastError(), QStringLiteral("Sunucudan geçersiz yanıt alındı."));
}

void TestApiRequestCore::cancelStalledRequest_data()
{
    QTest::addColumn<bool>("json");
    QTest::addColumn<QString>("message");
    QTest::newRow("rawRequest") << false << QStringLiteral("İşlem durduruldu.");
    QTest::newRow("jsonRequest") << true << QStringLiteral("Sunucudan geçersiz yanıt alındı.");
}

void TestApiRequestCore::cancelStalledRequest()
{
    QFETCH(bool, json);
    QFETCH(QString, message);
    ScriptedHttpsServer server;
    QVERIFY(server.listen());
    server.setHandler([](const ScriptedRequest &) {
        ScriptedResponse r;
        r.action = ScriptedResponse::Stall;
        return r;
    });
    ApiClient client;
    client.setBaseUrl(server.baseUrl());
    // the stop command arrives while the call waits in its own loop
    connect(&server, &ScriptedHttpsServer::requestReceived, &client, &ApiClient::cancelActiveTransfers,
            Qt::QueuedConnection);

    if (json)
        QVERIFY(client.me().isEmpty());
    else
        QVERIFY(!client.deleteNode(9));
    QCOMPARE(server.requests.size(), 1);
    QCOMPARE(client.lastError(), message);
}

void TestApiRequestCore::cancelWithNothingInFlight()
{
    ScriptedHttpsServer server;
    QVERIFY(server.listen());
    ApiClient client;
    client.setBaseUrl(server.baseUrl());
    client.cancelActiveTransfers();

    // a finished reply waiting for deletion is not touched, and the next call works
    QVERIFY(!client.me().isEmpty());
    client.cancelActiveTransfers();
    for (QNetworkReply *reply : ApiClientTestAccess::replies(client))
        QVERIFY(!reply->property("zelnorUserCanceled").toBool());
    QVERIFY(!client.me().isEmpty());
    QVERIFY(client.lastError().isEmpty());
}

QTEST_GUILESS_MAIN(TestApiRequestCore)
#include "tst_apirequestcore.moc"
