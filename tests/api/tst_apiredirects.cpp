// Redirects never carry the bearer token to another origin: inside the
// server's origin they are followed as usual, a GET elsewhere is fetched again
// without credentials, anything else sent elsewhere (and any step down to
// plain HTTP) fails without a second request.

#include "apiclient.h"
#include "apitestaccess.h"
#include "scriptedserver.h"
#include "testtls.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QByteArray landingBody = R"({"ok":true,"token":"yeni","item":{"id":5,"version":2}})";

QString refusedElsewhere()
{
    return QStringLiteral("Sunucu isteği başka bir adrese yönlendirdi; güvenlik nedeniyle izlenmedi.");
}

QString refusedInsecure()
{
    return QStringLiteral("Sunucu isteği güvenli olmayan bir adrese yönlendirdi.");
}

} // namespace

class TestApiRedirects : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();

    void redirect_data();
    void redirect();
    void tokenlessHopMayReturnHome();
    void cancelAfterHopElsewhere();

private:
    std::unique_ptr<QTemporaryDir> dir;
};

void TestApiRedirects::initTestCase()
{
    QVERIFY(TestTls::ensure());
}

void TestApiRedirects::cleanup()
{
    if (dir)
        dir->setAutoRemove(!QTest::currentTestFailed());
    dir.reset();
}

void TestApiRedirects::redirect_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<int>("status");
    // where the redirect points: "same", "host" (127.0.0.1 instead of localhost),
    // "port" (another listener), "http" (same host and port without TLS)
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("followed");
    QTest::addColumn<QString>("message");

    QTest::newRow("GET same origin") << "me" << 302 << "same" << true << QString();
    QTest::newRow("GET other host") << "me" << 302 << "host" << true << QString();
    QTest::newRow("GET other port") << "me" << 301 << "port" << true << QString();
    QTest::newRow("GET down to http") << "me" << 302 << "http" << false << "Sunucudan geçersiz yanıt alındı.";
    QTest::newRow("download same origin") << "download" << 302 << "same" << true << QString();
    QTest::newRow("download other host") << "download" << 307 << "host" << true << QString();
    QTest::newRow("download down to http") << "download" << 302 << "http" << false << refusedInsecure();
    QTest::newRow("DELETE same origin") << "delete" << 307 << "same" << true << QString();
    QTest::newRow("DELETE other host") << "delete" << 307 << "host" << false << refusedElsewhere();
    QTest::newRow("DELETE down to http") << "delete" << 308 << "http" << false << refusedInsecure();
    QTest::newRow("POST folder other port") << "folder" << 307 << "port" << false << "Sunucudan geçersiz yanıt alındı.";
    QTest::newRow("POST login other host") << "login" << 308 << "host" << false << "Sunucudan geçersiz yanıt alındı.";
    QTest::newRow("POST login same origin") << "login" << 307 << "same" << true << QString();
    QTest::newRow("upload other host") << "upload" << 307 << "host" << false << refusedElsewhere();
    QTest::newRow("upload other host 302") << "upload" << 302 << "host" << false << refusedElsewhere();
}

void TestApiRedirects::redirect()
{
    QFETCH(QString, operation);
    QFETCH(int, status);
    QFETCH(QString, target);
    QFETCH(bool, followed);
    QFETCH(QString, message);

    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());

    ScriptedHttpsServer server;
    ScriptedHttpsServer other;
    QVERIFY(server.listen());
    QVERIFY(other.listen());

    QString location;
    if (target == QLatin1String("same"))
        location = server.baseUrl() + QStringLiteral("/landing");
    else if (target == QLatin1String("host"))
        location = server.baseUrl(QStringLiteral("127.0.0.1")) + QStringLiteral("/landing");
    else if (target == QLatin1String("port"))
        location = other.baseUrl() + QStringLiteral("/landing");
    else
        location = QStringLiteral("http://localhost:%1/landing").arg(server.port());

    const auto handler = [&](const ScriptedRequest &request) {
        if (request.target.startsWith("/api/"))
            return ScriptedResponse::redirect(status, location.toUtf8());
        return ScriptedResponse::json(200, landingBody);
    };
    server.setHandler(handler);
    other.setHandler(handler);

    ApiClient client;
    client.setBaseUrl(server.baseUrl());
    ApiClientTestAccess::setToken(client, QStringLiteral("gizli"));

    const QString local = dir->filePath(QStringLiteral("yerel.bin"));
    {
        QFile f(local);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("yerel içerik");
    }
    const QString saved = dir->filePath(QStringLiteral("inen.bin"));

    bool ok = false;
    if (operation == QLatin1String("me"))
        ok = !client.me().isEmpty();
    else if (operation == QLatin1String("download"))
        ok = client.downloadFile(7, saved, QString());
    else if (operation == QLatin1String("delete"))
        ok = client.deleteNode(7);
    else if (operation == QLatin1String("folder"))
        ok = !client.createFolder(QVariant(), QStringLiteral("f")).isEmpty();
    else if (operation == QLatin1String("login"))
        ok = client.login(QStringLiteral("a@b.c"), QStringLiteral("parola"), QStringLiteral("cihaz"));
    else if (operation == QLatin1String("upload"))
        ok = !client.uploadFile(QVariant(), local, QStringLiteral("yerel.bin"), QVariant()).isEmpty();
    else
        QFAIL("unknown operation");

    QCOMPARE(ok, followed);
    QCOMPARE(client.lastError(), message);

    QList<ScriptedRequest> seen = server.requests + other.requests;
    QVERIFY(!seen.isEmpty());
    const bool loginCall = operation == QLatin1String("login");
    // the first request went to the server with the token (a login never has one)
    QCOMPARE(seen.first().hasHeader("Authorization"), !loginCall);

    if (!followed) {
        QCOMPARE(seen.size(), 1);
        return;
    }
    QCOMPARE(seen.size(), 2);
    const ScriptedRequest &landing = seen.at(1);
    QCOMPARE(landing.target, QByteArray("/landing"));
    const bool sameOrigin = target == QLatin1String("same");
    QCOMPARE(landing.hasHeader("Authorization"), sameOrigin && !loginCall);
    if (!sameOrigin)
        QCOMPARE(landing.method, QByteArray("GET"));
    if (operation == QLatin1String("download")) {
        QFile f(saved);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), landingBody);
    }
}

void TestApiRedirects::tokenlessHopMayReturnHome()
{
    ScriptedHttpsServer server;
    QVERIFY(server.listen());
    const QByteArray elsewhere = server.baseUrl(QStringLiteral("127.0.0.1")).toUtf8() + "/away";
    const QByteArray home = server.baseUrl().toUtf8() + "/home";
    server.setHandler([&](const ScriptedRequest &request) {
        if (request.target.startsWith("/api/"))
            return ScriptedResponse::redirect(302, elsewhere);
        if (request.target == "/away")
            return ScriptedResponse::redirect(302, home);
        return ScriptedResponse::json(200, R"({"ok":true})");
    });
    ApiClient client;
    client.setBaseUrl(server.baseUrl());
    ApiClientTestAccess::setToken(client, QStringLiteral("gizli"));

    QVERIFY(!client.snapshot().isEmpty());
    QCOMPARE(server.requests.size(), 3);
    QVERIFY(server.requests.at(0).hasHeader("Authorization"));
    // once the request has left the origin it stays without credentials
    QVERIFY(!server.requests.at(1).hasHeader("Authorization"));
    QVERIFY(!server.requests.at(2).hasHeader("Authorization"));
    QCOMPARE(server.requests.at(2).target, QByteArray("/home"));
}

void TestApiRedirects::cancelAfterHopElsewhere()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    ScriptedHttpsServer server;
    QVERIFY(server.listen());
    const QByteArray elsewhere = server.baseUrl(QStringLiteral("127.0.0.1")).toUtf8() + "/away";
    server.setHandler([&](const ScriptedRequest &request) {
        if (request.target.startsWith("/api/"))
            return ScriptedResponse::redirect(302, elsewhere);
        ScriptedResponse r;
        r.action = ScriptedResponse::Stall;
        return r;
    });
    ApiClient client;
    client.setBaseUrl(server.baseUrl());
    ApiClientTestAccess::setToken(client, QStringLiteral("gizli"));
    connect(&server, &ScriptedHttpsServer::requestReceived, &client, [&] {
        if (server.requests.size() == 2)
            client.cancelActiveTransfers();
    }, Qt::QueuedConnection);

    const QString target = dir->filePath(QStringLiteral("dosya"));
    QVERIFY(!client.downloadFile(3, target, QString()));
    QCOMPARE(client.lastError(), QStringLiteral("İndirme durduruldu."));
    QCOMPARE(server.requests.size(), 2);
    QVERIFY(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden).isEmpty());
}

QTEST_GUILESS_MAIN(TestApiRedirects)
#include "tst_apiredirects.moc"
