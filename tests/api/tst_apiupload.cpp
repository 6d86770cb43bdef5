// The multipart upload and its throttled file device.

#include "apiclient.h"
#include "apitestaccess.h"
#include "ratelimitedfile_p.h"
#include "scriptedserver.h"
#include "testtls.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QOperatingSystemVersion>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

class TestApiUpload : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void firstUploadToTop();
    void updateInsideFolder();
    void fileNameInDisposition_data();
    void fileNameInDisposition();
    void missingLocalFileSendsNothing();
    void outcome_data();
    void outcome();
    void cancelThrottledUpload();
    void throttledUploadKeepsSchedule();

    void readSizes_data();
    void readSizes();
    void readsWaitForSchedule();

private:
    QString writeFile(const QString &name, const QByteArray &content);
    QList<FormPart> receivedForm(const ScriptedRequest &request);

    std::unique_ptr<QTemporaryDir> dir;
};

void TestApiUpload::initTestCase()
{
    QVERIFY(TestTls::ensure());
}

void TestApiUpload::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void TestApiUpload::cleanup()
{
    dir->setAutoRemove(!QTest::currentTestFailed());
    dir.reset();
}

QString TestApiUpload::writeFile(const QString &name, const QByteArray &content)
{
    const QString path = dir->filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
        return QString();
    return path;
}

QList<FormPart> TestApiUpload::receivedForm(const ScriptedRequest &request)
{
    bool ok = false;
    const QList<FormPart> parts = parseForm(request.header("Content-Type"), request.body, &ok);
    if (!ok)
        return {};
    return parts;
}

void TestApiUpload::firstUploadToTop()
{
    ScriptedHttpsServer server;
    QVERIFY(server.listen());
    server.setHandler([](const ScriptedRequest &) {
        return ScriptedResponse::json(201, R"({"ok":true,"item":{"id":9,"version":1}})");
    });
    ApiClient client;
    client.setBaseUrl(server.baseUrl());
    ApiClientTestAccess::setToken(client, QStringLiteral("tok"));
    QSignalSpy progress(&client, &ApiClient::uploadProgress);

    QByteArray content(70000, '\0');
    for (int i = 0; i < content.size(); ++i)
        content[i] = char(i * 7);
    const QString path = writeFile(QStringLiteral("rapor.bin"), content);
    QVERIFY(!path.isEmpty());

    const QJsonObject result = client.uploadFile(QVariant(), path, QStringLiteral("Rapor.bin"), QVariant());
    QCOMPARE(result.value("item").toObject().value("id").toInt(), 9);
    QVERIFY(client.lastError().isEmpty());

    QCOMPARE(server.requests.size(), 1);
    const ScriptedRequest &seen = server.requests.first();
    QCOMPARE(seen.method, QByteArray("POST"));
    QCOMPARE(seen.target, QByteArray("/api/v1/files/upload"));
    QCOMPARE(seen.header("Authorization"), QByteArray("Bearer tok"));
    QVERIFY(seen.header("Content-Type").startsWith("multipart/form-data"));

    const QList<FormPart> parts = receivedForm(seen);
    QCOMPARE(parts.size(), 2);
    QCOMPARE(parts.at(0).header("Content-Disposition"), QByteArray("form-data; name=\"name\""));
    QCOMPARE(parts.at(0).body, QByteArray("Rapor.bin"));
    QCOMPARE(parts.at(1).header("Content-Disposition"), QByteArray("form-data; name=\"file\"; filename=\"rapor.bin\""));
    QCOMPARE(parts.at(1).header("Content-Type"), QByteArray("application/octet-stream"));
    QCOMPARE(parts.at(1).body, content);

    // the reply's own progress, up to the whole form
    bool complete = false;
    for (const QList<QVariant> &report : std::as_const(progress))
        complete = complete || (report.at(0).toLongLong() == seen.body.size() && report.at(1).toLongLong() == seen.body.size());
    QVERIFY(complete);
}

void TestApiUpload::updateInsideFolder()
{
    ScriptedHttpsServer server;
    QVERIFY(server.listen());
    server.setHandler([](const ScriptedRequest &) {
        return ScriptedResponse::json(200, R"({"ok":true,"item":{"id":9,"version":4}})");
    });
    ApiClient client;
    client.setBaseUrl(server.baseUrl());
    const QString path = writeFile(QStringLiteral("not.txt"), "yeni");

    QVERIFY(!client.uploadFile(QVariant(qint64(42)), path, QStringLiteral("Not ş.txt"), QVariant(qint64(3))).isEmpty());
    const QList<FormPart> parts = receivedForm(server.requests.first());
    QCOMPARE(parts.size(), 4);
    const QByteArrayList names{"parent_id", "expected_version", "name"};
    const QByteArrayList bodies{"42", "3", QStringLiteral("Not ş.txt").toUtf8()};
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(parts.at(i).header("Content-Disposition"), "form-data; name=\"" + names.at(i) + '"');
        QCOMPARE(parts.at(i).headers.size(), 1);
        QCOMPARE(parts.at(i).body, bodies.at(i));
    }
    QCOMPARE(parts.at(3).body, QByteArray("yeni"));
}

void TestApiUpload::fileNameInDisposition_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("sent");
    QTest::newRow("plain") << "a b.txt" << QByteArray("a b.txt");
    QTest::newRow("turkish letters unchanged") << "çalışma ğüş İ.txt" << QStringLiteral("çalışma ğüş İ.txt").toUtf8();
    QTest::newRow("percent, semicolon, backslash unchanged") << "100% ; a\\b=c.txt" << QByteArray("100% ; a\\b=c.txt");
    QTest::newRow("double quote") << "say \"hi\".txt" << QByteArray("say %22hi%22.txt");
    QTest::newRow("line feed") << "a\nContent-Type: text-html" << QByteArray("a%0AContent-Type: text-html");
    QTest::newRow("carriage return") << "a\rb" << QByteArray("a%0Db");
    QTest::newRow("header injection") << "x\"\r\nX-Evil: 1\r\n\r\nbody"
                                      << QByteArray("x%22%0D%0AX-Evil: 1%0D%0A%0D%0Abody");
}

void TestApiUpload::fileNameInDisposition()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, sent);
    ScriptedHttpsServer server;
    QVERIFY(server.listen());
    ApiClient client;
    client.setBaseUrl(server.baseUrl());
    const QString path = writeFile(name, "içerik");
    // Windows file names hold no quote, line break or backslash: no local file
    // can carry such a name there
    if (path.isEmpty() && QOperatingSystemVersion::currentType() == QOperatingSystemVersion::Windows)
        QSKIP("this file system refuses the name");
    QVERIFY2(!path.isEmpty(), "this file system refuses the name");

    QVERIFY(!client.uploadFile(QVariant(), path, QStringLiteral("n"), QVariant()).isEmpty());
    const QList<FormPart> parts = receivedForm(server.requests.first());
    QCOMPARE(parts.size(), 2);
    const FormPart &file = parts.at(1);
    // exactly the two part headers: nothing smuggled in through the name
    QCOMPARE(file.headers.size(), 2);
    QCOMPARE(file.header("Content-Disposition"), "form-data; name=\"file\"; filename=\"" + sent + '"');
    QCOMPARE(file.header("Content-Type"), QByteArray("application/octet-stream"));
    QCOMPARE(file.body, QByteArray("içerik"));
}

void TestApiUpload::missingLocalFileSendsNothing()
{
    ScriptedHttpsServer server;
    QVERIFY(server.listen());
    ApiClient client;
    client.setBaseUrl(server.baseUrl());
    const QString path = writeFile(QStringLiteral("gidecek.txt"), "x");
    QVERIFY(QFile::remove(path));

    QVERIFY(client.uploadFile(QVariant(), path, QStringLiteral("gidecek.txt"), QVariant()).isEmpty());
    QCOMPARE(client.lastError(), QStringLiteral("Yerel dosya açılamadı: ") + path);
    QVERIFY(ApiClientTestAccess::replies(client).isEmpty());
    QTest::qWait(0);
    QVERIFY(server.requests.isEmpty());
}

void TestApiUpload::outcome_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("message"); // "*": the network layer's own text

    // an error status reports the network layer's text, not the server's message
    QTest::newRow("409 with envelope") << 409 << QByteArray(R"({"ok":false,"message":"Sürüm çakışması."})")
                                       << QStringLiteral("*");
    QTest::newRow("413 plain") << 413 << QByteArray("too large") << QStringLiteral("*");
    QTest::newRow("200 ok false") << 200 << QByteArray(R"({"ok":false,"message":"Kota dolu."})")
                                  << QStringLiteral("Kota dolu.");
    QTest::newRow("200 not json") << 200 << QByteArray("<html/>") << QStringLiteral("Sunucudan geçersiz yanıt alındı.");
    QTest::newRow("200 ok false without message") << 200 << QByteArray(R"({"ok":false})")
                                                  << QStringLiteral("İşlem başarısız.");
}

void TestApiUpload::outcome()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QString, message);
    ScriptedHttpsServer server;
    QVERIFY(server.listen());
    server.setHandler([&](const ScriptedRequest &) { return ScriptedResponse::json(status, body); });
    ApiClient client;
    client.setBaseUrl(server.baseUrl());
    const QString path = writeFile(QStringLiteral("f.txt"), "abc");

    QVERIFY(client.uploadFile(QVariant(), path, QStringLiteral("f.txt"), QVariant(qint64(2))).isEmpty());
    if (message == QLatin1String("*")) {
        QVERIFY(!client.lastError().isEmpty());
        QVERIFY(!client.lastError().contains(QStringLiteral("Sürüm")));
    } else {
        QCOMPARE(client.lastError(), message);
    }
}

void TestApiUpload::cancelThrottledUpload()
{
    ScriptedHttpsServer server;
    QVERIFY(server.listen());
    ApiClient client;
    client.setBaseUrl(server.baseUrl());
    // 64 KiB at 1 KiB/s would take a minute; the stop must not wait for it
    client.setTransferLimits(0, 1);
    const QString path = writeFile(QStringLiteral("büyük.bin"), QByteArray(64 * 1024, 'k'));
    QSignalSpy progress(&client, &ApiClient::uploadProgress);
    connect(&client, &ApiClient::uploadProgress, &client, [&](qint64 sent) {
        if (sent > 0)
            QTimer::singleShot(0, &client, &ApiClient::cancelActiveTransfers);
    });

    QElapsedTimer clock;
    clock.start();
    QVERIFY(client.uploadFile(QVariant(), path, QStringLiteral("büyük.bin"), QVariant()).isEmpty());
    QCOMPARE(client.lastError(), QStringLiteral("Yükleme durduruldu."));
    QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(server.requests.isEmpty());
}

void TestApiUpload::throttledUploadKeepsSchedule()
{
    ScriptedHttpsServer server;
    QVERIFY(server.listen());
    ApiClient client;
    client.setBaseUrl(server.baseUrl());
    client.setTransferLimits(0, 10);
    const QByteArray content(20 * 1024, 'x');
    const QString path = writeFile(QStringLiteral("f.bin"), content);

    // the window's timers keep running while the throttled reads wait
    QElapsedTimer clock;
    clock.start();
    qint64 lastTick = 0;
    qint64 longestGap = 0;
    QTimer ticker;
    ticker.setInterval(10);
    connect(&ticker, &QTimer::timeout, this, [&] {
        longestGap = qMax(longestGap, clock.elapsed() - lastTick);
        lastTick = clock.elapsed();
    });
    ticker.start();

    QVERIFY(!client.uploadFile(QVariant(), path, QStringLiteral("f.bin"), QVariant()).isEmpty());
    const qint64 elapsed = clock.elapsed();
    // 20 KiB at 10 KiB/s cannot be done in less than two seconds
    QVERIFY2(elapsed >= 1950, qPrintable(QString::number(elapsed)));
    QVERIFY2(longestGap < 1000, qPrintable(QString::number(longestGap)));
    QCOMPARE(receivedForm(server.requests.first()).value(1).body, content);
}

void TestApiUpload::readSizes_data()
{
    QTest::addColumn<int>("kib");
    QTest::addColumn<qint64>("largest");
    QTest::newRow("1 KiB/s") << 1 << qint64(102);
    QTest::newRow("100 KiB/s") << 100 << qint64(10240);
    QTest::newRow("unlimited") << 0 << qint64(300000);
}

void TestApiUpload::readSizes()
{
    QFETCH(int, kib);
    QFETCH(qint64, largest);
    const QString path = writeFile(QStringLiteral("r.bin"), QByteArray(300000, 'r'));
    RateLimitedFile file(path, qint64(kib) * 1024);
    QVERIFY(file.open(QIODevice::ReadOnly));

    QByteArray buffer(1 << 20, '\0');
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(file.read(buffer.data(), buffer.size()), largest);
    QCOMPARE(file.read(buffer.data(), 50), qint64(qMin<qint64>(50, 300000 - largest)));
    if (kib == 0)
        QVERIFY(clock.elapsed() < 1000);
}

void TestApiUpload::readsWaitForSchedule()
{
    const QString path = writeFile(QStringLiteral("r.bin"), QByteArray(4096, 'r'));
    RateLimitedFile file(path, 1024);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QElapsedTimer clock;
    clock.start();
    char buffer[4096];
    qint64 total = 0;
    for (int i = 0; i < 3; ++i)
        total += file.read(buffer, sizeof buffer);
    QCOMPARE(total, qint64(306));
    // 306 bytes at 1024 bytes per second are due after 298 ms
    QVERIFY2(clock.elapsed() >= 290, qPrintable(QString::number(clock.elapsed())));
}

QTEST_GUILESS_MAIN(TestApiUpload)
#include "tst_apiupload.moc"
