// The verified download: digest, atomic replacement, throttling, and every way
// it can fail without touching what is already at the target.

#include "apiclient.h"
#include "apitestaccess.h"
#include "filesizelimit.h"
#include "scriptedserver.h"
#include "sha256.h"
#include "testtls.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

class TestApiDownload : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void replacesTargetWithVerifiedContent_data();
    void replacesTargetWithVerifiedContent();
    void failureLeavesTargetAlone_data();
    void failureLeavesTargetAlone();
    void cancelLeavesTargetAlone();
    void missingFolder();
    void diskRefusesWrite_data();
    void diskRefusesWrite();

    void readBufferFollowsLimit_data();
    void readBufferFollowsLimit();
    void throttledDownloadKeepsPace();

private:
    QString target() const { return dir->filePath(QStringLiteral("hedef.dat")); }
    QByteArray targetContent() const;
    QStringList leftovers() const;
    void writeTarget(const QByteArray &content);

    std::unique_ptr<QTemporaryDir> dir;
    const QByteArray oldContent = "eski içerik, dokunulmamalı";
};

void TestApiDownload::initTestCase()
{
    QVERIFY(TestTls::ensure());
}

void TestApiDownload::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void TestApiDownload::cleanup()
{
    liftFileSizeLimit();
    dir->setAutoRemove(!QTest::currentTestFailed());
    dir.reset();
}

QByteArray TestApiDownload::targetContent() const
{
    QFile f(target());
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

// every entry of the folder but the target: temporary files must not survive
QStringList TestApiDownload::leftovers() const
{
    QStringList entries = QDir(dir->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    entries.removeAll(QStringLiteral("hedef.dat"));
    return entries;
}

void TestApiDownload::writeTarget(const QByteArray &content)
{
    QFile f(target());
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(content), qint64(content.size()));
}

void TestApiDownload::replacesTargetWithVerifiedContent_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("digestCase"); // lower, upper, empty
    QTest::addColumn<int>("limit");
    QTest::newRow("lower-case digest") << 200000 << "lower" << 0;
    QTest::newRow("upper-case digest") << 5000 << "upper" << 0;
    QTest::newRow("no digest") << 5000 << "empty" << 0;
    QTest::newRow("empty file") << 0 << "lower" << 0;
    QTest::newRow("throttled") << 30000 << "lower" << 100;
}

void TestApiDownload::replacesTargetWithVerifiedContent()
{
    QFETCH(int, size);
    QFETCH(QString, digestCase);
    QFETCH(int, limit);

    QByteArray content(size, '\0');
    for (int i = 0; i < size; ++i)
        content[i] = char((i * 31) ^ (i >> 8));
    QString digest = Sha256::hexOf(content);
    if (digestCase == QLatin1String("upper"))
        digest = digest.toUpper();
    else if (digestCase == QLatin1String("empty"))
        digest.clear();

    ScriptedHttpsServer server;
    QVERIFY(server.listen());
    server.setHandler([&](const ScriptedRequest &) {
        ScriptedResponse r;
        r.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/octet-stream")));
        r.body = content;
        return r;
    });
    ApiClient client;
    client.setBaseUrl(server.baseUrl());
    client.setTransferLimits(limit, 0);
    ApiClientTestAccess::setToken(client, QStringLiteral("tok"));
    writeTarget(oldContent);
    QSignalSpy progress(&client, &ApiClient::downloadProgress);

    QVERIFY2(client.downloadFile(41, target(), digest), qPrintable(client.lastError()));
    QVERIFY(client.lastError().isEmpty());
    QCOMPARE(targetContent(), content);
    QCOMPARE(leftovers(), QStringList());

    QCOMPARE(server.requests.size(), 1);
    QCOMPARE(server.requests.first().method, QByteArray("GET"));
    QCOMPARE(server.requests.first().target, QByteArray("/api/v1/files/41/download"));
    QCOMPARE(server.requests.first().header("Authorization"), QByteArray("Bearer tok"));
    if (size > 0) {
        QVERIFY(!progress.isEmpty());
        QCOMPARE(progress.last().at(0).toLongLong(), qint64(size));
        QCOMPARE(progress.last().at(1).toLongLong(), qint64(size));
    }
}

void TestApiDownload::failureLeavesTargetAlone_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("message"); // "*": the network layer's own text
    QTest::newRow("404") << "404" << "*";
    QTest::newRow("500 with envelope") << "500" << "*";
    QTest::newRow("digest mismatch") << "mismatch" << "İndirilen dosyanın SHA-256 doğrulaması başarısız.";
    QTest::newRow("connection cut") << "cut" << "*";
    QTest::newRow("throttled digest mismatch") << "mismatch-throttled" << "İndirilen dosyanın SHA-256 doğrulaması başarısız.";
}

void TestApiDownload::failureLeavesTargetAlone()
{
    QFETCH(QString, kind);
    QFETCH(QString, message);
    const QByteArray content(4000, 'n');

    ScriptedHttpsServer server;
    QVERIFY(server.listen());
    server.setHandler([&](const ScriptedRequest &) {
        if (kind == QLatin1String("404"))
            return ScriptedResponse::json(404, R"({"ok":false,"message":"Dosya bulunamadı."})");
        if (kind == QLatin1String("500"))
            return ScriptedResponse::json(500, R"({"ok":false,"message":"Sunucu hatası."})");
        ScriptedResponse r;
        r.body = content;
        if (kind == QLatin1String("cut")) {
            r.action = ScriptedResponse::PartialThenClose;
            r.announcedLength = content.size() * 2;
        }
        return r;
    });
    ApiClient client;
    client.setBaseUrl(server.baseUrl());
    if (kind.endsWith(QLatin1String("throttled")))
        client.setTransferLimits(100, 0);
    writeTarget(oldContent);

    QVERIFY(!client.downloadFile(5, target(), Sha256::hexOf("başka içerik")));
    if (message == QLatin1String("*")) {
        QVERIFY(!client.lastError().isEmpty());
        // the body of an error answer is not the reason shown
        QVERIFY(!client.lastError().contains(QStringLiteral("bulunamadı")));
        QVERIFY(!client.lastError().contains(QStringLiteral("Sunucu hatası")));
    } else {
        QCOMPARE(client.lastError(), message);
    }
    QCOMPARE(targetContent(), oldContent);
    QCOMPARE(leftovers(), QStringList());
}

void TestApiDownload::cancelLeavesTargetAlone()
{
    ScriptedHttpsServer server;
    QVERIFY(server.listen());
    server.setHandler([](const ScriptedRequest &) {
        ScriptedResponse r;
        r.body = QByteArray(3000, 'p');
        r.action = ScriptedResponse::PartialThenStall;
        r.announcedLength = 1000000;
        return r;
    });
    ApiClient client;
    client.setBaseUrl(server.baseUrl());
    writeTarget(oldContent);
    // stop once part of the body has arrived
    connect(&server, &ScriptedHttpsServer::requestReceived, this, [&] {
        for (QNetworkReply *reply : ApiClientTestAccess::replies(client))
            connect(reply, &QNetworkReply::readyRead, &client, &ApiClient::cancelActiveTransfers, Qt::QueuedConnection);
    });

    QVERIFY(!client.downloadFile(5, target(), QString()));
    QCOMPARE(client.lastError(), QStringLiteral("İndirme durduruldu."));
    QCOMPARE(targetContent(), oldContent);
    QCOMPARE(leftovers(), QStringList());
}

void TestApiDownload::missingFolder()
{
    ScriptedHttpsServer server;
    QVERIFY(server.listen());
    ApiClient client;
    client.setBaseUrl(server.baseUrl());
    const QString path = dir->filePath(QStringLiteral("yok/hedef.dat"));
    QVERIFY(!client.downloadFile(5, path, QString()));
    QCOMPARE(client.lastError(), QStringLiteral("Hedef dosya yazılamadı."));
    QVERIFY(!QFileInfo::exists(dir->filePath(QStringLiteral("yok"))));
}

void TestApiDownload::diskRefusesWrite_data()
{
    QTest::addColumn<int>("limit");
    QTest::addColumn<int>("size");
    QTest::newRow("unlimited") << 0 << 256 * 1024;
    // small writes must not hide the failure until the end
    QTest::newRow("throttled") << 50 << 24 * 1024;
}

void TestApiDownload::diskRefusesWrite()
{
    QFETCH(int, limit);
    QFETCH(int, size);
    const QByteArray content(size, 'd');
    ScriptedHttpsServer server;
    QVERIFY(server.listen());
    server.setHandler([&](const ScriptedRequest &) {
        ScriptedResponse r;
        r.body = content;
        return r;
    });
    ApiClient client;
    client.setBaseUrl(server.baseUrl());
    client.setTransferLimits(limit, 0);
    writeTarget(oldContent);

    if (!limitFileSize(16 * 1024 + 100))
        QSKIP("no file size cap on this platform");
    const bool ok = client.downloadFile(5, target(), Sha256::hexOf(content));
    liftFileSizeLimit();

    QVERIFY(!ok);
    QCOMPARE(client.lastError(), QStringLiteral("İndirilen dosya diske yazılamadı."));
    QCOMPARE(targetContent(), oldContent);
    QCOMPARE(leftovers(), QStringList());
}

void TestApiDownload::readBufferFollowsLimit_data()
{
    QTest::addColumn<int>("limit");
    QTest::addColumn<qint64>("buffer");
    QTest::newRow("1 KiB/s") << 1 << qint64(1024);
    QTest::newRow("3 KiB/s") << 3 << qint64(1024);
    QTest::newRow("100 KiB/s") << 100 << qint64(20480);
    // two whole steps of 104 857 bytes, not a fifth of the rate (209 715)
    QTest::newRow("1024 KiB/s") << 1024 << qint64(209714);
    // bounded only once the client falls behind (tst_apiserver)
    QTest::newRow("unlimited") << 0 << qint64(0);
}

void TestApiDownload::readBufferFollowsLimit()
{
    QFETCH(int, limit);
    QFETCH(qint64, buffer);
    ScriptedHttpsServer server;
    QVERIFY(server.listen());
    server.setHandler([](const ScriptedRequest &) {
        ScriptedResponse r;
        r.body = "x";
        return r;
    });
    ApiClient client;
    client.setBaseUrl(server.baseUrl());
    client.setTransferLimits(limit, 0);

    qint64 seen = -1;
    connect(&server, &ScriptedHttpsServer::requestReceived, this, [&] {
        const QList<QNetworkReply *> replies = ApiClientTestAccess::replies(client);
        if (replies.size() == 1)
            seen = replies.first()->readBufferSize();
    });
    QVERIFY(client.downloadFile(5, target(), QString()));
    QCOMPARE(seen, buffer);
}

void TestApiDownload::throttledDownloadKeepsPace()
{
    // 1024 bytes at 1 KiB/s: 102 bytes per 100 ms tick; one step runs early when
    // the reply finishes, the other ten wait for the timer
    const QByteArray content(1024, 'k');
    ScriptedHttpsServer server;
    QVERIFY(server.listen());
    server.setHandler([&](const ScriptedRequest &) {
        ScriptedResponse r;
        r.body = content;
        return r;
    });
    ApiClient client;
    client.setBaseUrl(server.baseUrl());
    client.setTransferLimits(1, 0);

    QElapsedTimer clock;
    clock.start();
    QVERIFY(client.downloadFile(5, target(), Sha256::hexOf(content)));
    QVERIFY2(clock.elapsed() >= 990, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(targetContent(), content);
}

QTEST_GUILESS_MAIN(TestApiDownload)
#include "tst_apidownload.moc"
