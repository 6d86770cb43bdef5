#include "updatefixture.h"

#include <QCoreApplication>
#include <QNetworkReply>
#include <QtTest>

namespace {
const QString digest = QStringLiteral("0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef");
const QString refused = QStringLiteral("Güncelleme adresi güvenli değil.");
const QString securityFailure = QStringLiteral("Güncelleme bildirimi güvenlik denetiminden geçemedi.");
const QString invalid = QStringLiteral("Güncelleme bildirimi geçersiz.");
const QString notWindows = QStringLiteral("Windows güncelleme paketi geçersiz.");
const QStringList upToDate = {QStringLiteral("log"), QStringLiteral("checkCompleted")};
const QStringList newer = {QStringLiteral("log"), QStringLiteral("checkCompleted"), QStringLiteral("updateAvailable")};
const QStringList rejected = {QStringLiteral("log"), QStringLiteral("checkFailed")};
const QStringList failedQuietly = {QStringLiteral("checkFailed")};

QByteArray withField(const QByteArray &json, const QString &key, const QJsonValue &value)
{
    QJsonObject o = QJsonDocument::fromJson(json).object();
    if (value.isUndefined())
        o.remove(key);
    else
        o.insert(key, value);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

QByteArray paddedTo(const QByteArray &json, int size)
{
    return json + QByteArray(size - json.size(), ' ');
}
} // namespace

class UpdateCheckTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void address_data();
    void address();
    void manifest_data();
    void manifest();
    void checksRunSideBySide();

private:
    QString installer(const QString &path = QStringLiteral("/dl/setup.exe")) const
    {
        return server.url(path).toString();
    }

    RoutedServer server;
};

void UpdateCheckTest::initTestCase()
{
    QCoreApplication::setApplicationVersion(QStringLiteral("0.3.20"));
    QVERIFY(server.listen());
}

void UpdateCheckTest::init()
{
    server.routes.clear();
    server.requests.clear();
}

void UpdateCheckTest::address_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("plain http") << "http://localhost:%1/downloads/latest.json" << false;
    QTest::newRow("another host") << "https://127.0.0.1:%1/downloads/latest.json" << false;
    QTest::newRow("trusted name as user info") << "https://localhost@127.0.0.1:%1/downloads/latest.json" << false;
    QTest::newRow("trusted name as prefix") << "https://localhost.example:%1/downloads/latest.json" << false;
    QTest::newRow("no address") << "" << false;
    QTest::newRow("capitals") << "HTTPS://LOCALHOST:%1/downloads/latest.json" << true;
}

void UpdateCheckTest::address()
{
    QFETCH(QString, address);
    QFETCH(bool, accepted);
    server.routes.insert("/downloads/latest.json",
                         ScriptedResponse::json(200, manifestJson(QStringLiteral("0.3.20"), installer(), digest)));

    UpdateManager manager(QStringLiteral("localhost"), nullptr);
    SignalTrace trace(&manager);
    const QUrl url(address.contains(QLatin1String("%1")) ? address.arg(server.port()) : address);
    manager.checkForUpdates(url);

    if (!accepted) {
        // refused before the call returns, and no request was even created
        QCOMPARE(trace.names, failedQuietly);
        QCOMPARE(trace.last(QStringLiteral("checkFailed")).value(0).toString(), refused);
        QVERIFY(manager.findChildren<QNetworkReply *>().isEmpty());
        QVERIFY(server.requests.isEmpty());
        return;
    }
    QTRY_VERIFY(trace.checkEnded());
    QCOMPARE(trace.names, QStringList{QStringLiteral("log")} + upToDate);
    QCOMPARE(server.requests.size(), 1);
    QCOMPARE(server.requests.first().target, QByteArray("/downloads/latest.json"));
    QVERIFY(!server.requests.first().hasHeader("Authorization"));
}

void UpdateCheckTest::manifest_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("redirect"); // where latest.json points, served from /moved.json
    QTest::addColumn<QStringList>("signalsExpected");
    QTest::addColumn<QString>("result"); // version completed, or the failure message
    QTest::addColumn<QString>("notes");

    const QByteArray base = manifestJson(QStringLiteral("0.3.21"), installer(), digest);
    auto version = [&](const QString &v) { return withField(base, QStringLiteral("version"), v); };
    auto url = [&](const QString &u) { return withField(base, QStringLiteral("download_url"), u); };
    auto sha = [&](const QString &s) { return withField(base, QStringLiteral("sha256"), s); };

    QTest::newRow("same version") << version("0.3.20") << 200 << "" << upToDate << "0.3.20" << "";
    QTest::newRow("older version") << version("0.3.19.9") << 200 << "" << upToDate << "0.3.19.9" << "";
    QTest::newRow("patch newer") << version("0.3.21") << 200 << "" << newer << "0.3.21" << "";
    QTest::newRow("longer is newer") << version("0.3.20.1") << 200 << "" << newer << "0.3.20.1" << "";
    QTest::newRow("leading v has no number") << version("v1.0") << 200 << "" << upToDate << "v1.0" << "";
    QTest::newRow("suffix after numbers") << version("1.0-beta") << 200 << "" << newer << "1.0-beta" << "";
    QTest::newRow("notes given")
        << withField(base, QStringLiteral("notes"), QStringLiteral("Hata düzeltmeleri")) << 200 << "" << newer
        << "0.3.21" << "Hata düzeltmeleri";
    QTest::newRow("notes not text") << withField(base, QStringLiteral("notes"), 5) << 200 << "" << newer << "0.3.21"
                                    << "";

    QTest::newRow("digest in capitals with blanks")
        << sha(QStringLiteral("  ") + digest.toUpper() + QStringLiteral("\t\n")) << 200 << "" << newer << "0.3.21" << "";
    QTest::newRow("digest of 63 digits") << sha(digest.left(63)) << 200 << "" << rejected << invalid << "";
    QTest::newRow("digest of 65 digits") << sha(digest + QLatin1Char('0')) << 200 << "" << rejected << invalid << "";
    QTest::newRow("digest not hex") << sha(digest.left(63) + QLatin1Char('g')) << 200 << "" << rejected << invalid
                                    << "";
    QTest::newRow("digest missing") << withField(base, QStringLiteral("sha256"), QJsonValue::Undefined) << 200 << ""
                                    << rejected << invalid << "";
    QTest::newRow("empty version") << version("") << 200 << "" << rejected << invalid << "";
    QTest::newRow("version as number") << withField(base, QStringLiteral("version"), 1.5) << 200 << "" << rejected
                                       << invalid << "";
    QTest::newRow("not json") << QByteArray("<html>") << 200 << "" << rejected << invalid << "";
    QTest::newRow("json array") << QByteArray("[") + base + "]" << 200 << "" << rejected << invalid << "";

    QTest::newRow("installer over http") << url(installer().replace(QLatin1String("https:"), QLatin1String("http:")))
                                         << 200 << "" << rejected << invalid << "";
    QTest::newRow("installer on another host")
        << url(server.url(QStringLiteral("/dl/setup.exe"), QStringLiteral("127.0.0.1")).toString()) << 200 << ""
        << rejected << invalid << "";
    QTest::newRow("installer address relative") << url(QStringLiteral("/dl/setup.exe")) << 200 << "" << rejected
                                                << invalid << "";
    QTest::newRow("installer .EXE") << url(installer(QStringLiteral("/dl/SETUP.EXE"))) << 200 << "" << newer
                                    << "0.3.21" << "";
    QTest::newRow("installer encoded dot") << url(installer(QStringLiteral("/dl/setup%2Eexe"))) << 200 << "" << newer
                                           << "0.3.21" << "";
    QTest::newRow("installer .msi") << url(installer(QStringLiteral("/dl/setup.msi"))) << 200 << ""
                                    << failedQuietly << notWindows << "";
    QTest::newRow(".exe only in the query") << url(installer(QStringLiteral("/dl/setup.msi?f=.exe"))) << 200 << ""
                                            << failedQuietly << notWindows << "";

    QTest::newRow("65536 bytes") << paddedTo(base, 65536) << 200 << "" << newer << "0.3.21" << "";
    QTest::newRow("65537 bytes") << paddedTo(base, 65537) << 200 << "" << failedQuietly << securityFailure << "";
    QTest::newRow("redirect to another host") << base << 302 << "https://127.0.0.1:%1/moved.json" << failedQuietly
                                              << securityFailure << "";
    QTest::newRow("redirect on the trusted host") << base << 302 << "https://localhost:%1/moved.json" << newer
                                                  << "0.3.21" << "";
    QTest::newRow("redirect to http") << base << 302 << "http://localhost:%1/moved.json" << rejected << "" << "";
    QTest::newRow("server error") << base << 500 << "" << rejected << "" << "";
}

void UpdateCheckTest::manifest()
{
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QString, redirect);
    QFETCH(QStringList, signalsExpected);
    QFETCH(QString, result);
    QFETCH(QString, notes);

    if (redirect.isEmpty()) {
        server.routes.insert("/downloads/latest.json", ScriptedResponse::json(status, body));
    } else {
        server.routes.insert("/downloads/latest.json",
                             ScriptedResponse::redirect(status, redirect.arg(server.port()).toLatin1()));
        server.routes.insert("/moved.json", ScriptedResponse::json(200, body));
    }

    UpdateManager manager(QStringLiteral("localhost"), nullptr);
    SignalTrace trace(&manager);
    manager.checkForUpdates(server.url(QStringLiteral("/downloads/latest.json")));
    QCOMPARE(trace.names.value(0), QStringLiteral("log")); // announced before the request goes out
    trace.clear();

    QTRY_VERIFY(trace.checkEnded());
    QCOMPARE(trace.names, signalsExpected);
    if (signalsExpected.contains(QStringLiteral("checkCompleted")))
        QCOMPARE(trace.last(QStringLiteral("checkCompleted")).value(0).toString(), result);
    if (signalsExpected.contains(QStringLiteral("updateAvailable"))) {
        QCOMPARE(trace.last(QStringLiteral("updateAvailable")), QVariantList({result, notes}));
    }
    if (signalsExpected.contains(QStringLiteral("checkFailed"))) {
        const QString message = trace.last(QStringLiteral("checkFailed")).value(0).toString();
        if (result.isEmpty()) // the network layer's own text, logged as well
            QVERIFY(!message.isEmpty() && trace.last(QStringLiteral("log")).value(0).toString().endsWith(message));
        else
            QCOMPARE(message, result);
    }
}

void UpdateCheckTest::checksRunSideBySide()
{
    // one check stalls; another started after it still reports on its own
    server.routes.insert("/stalled.json", [] {
        ScriptedResponse r;
        r.action = ScriptedResponse::Stall;
        return r;
    }());
    server.routes.insert("/downloads/latest.json",
                         ScriptedResponse::json(200, manifestJson(QStringLiteral("0.3.22"), installer(), digest)));

    {
        UpdateManager manager(QStringLiteral("localhost"), nullptr);
        SignalTrace trace(&manager);
        manager.checkForUpdates(server.url(QStringLiteral("/stalled.json")));
        QTRY_COMPARE(server.hits("/stalled.json"), 1);
        manager.checkForUpdates(server.url(QStringLiteral("/downloads/latest.json")));
        QTRY_VERIFY(trace.checkEnded());
        QCOMPARE(trace.names, QStringList({QStringLiteral("log"), QStringLiteral("log"), QStringLiteral("log"),
                                           QStringLiteral("checkCompleted"), QStringLiteral("updateAvailable")}));
        // the manager goes away with the stalled check still open
    }
    server.closeConnections();
}

QTEST_GUILESS_MAIN(UpdateCheckTest)
#include "tst_updatecheck.moc"
