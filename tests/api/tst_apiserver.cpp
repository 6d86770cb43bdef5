// Round trips of the server client against the reference server over HTTPS on
// loopback: sign-in, tree, folders, uploads with versions, verified downloads.

#include "apiclient.h"
#include "apitestaccess.h"
#include "referenceserver.h"
#include "sha256.h"
#include "testtls.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <QOperatingSystemVersion>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <memory>

namespace {
const QString password = QStringLiteral("parola-ş1");
const QString device = QStringLiteral("Kumat Sync Masaüstü");
}

class TestApiServer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void login();
    void foldersAndSnapshot();
    void uploadVersions();
    void uploadNameWithQuote();
    void downloadVerified();
    void downloadFallingBehindIsBounded();
    void deleteToTrash();

private:
    // a signed-in client for a fresh user
    bool signIn(ApiClient &client, const QString &email);
    QJsonObject snapshotItem(ApiClient &client, const QString &path);
    QString writeLocal(const QString &name, const QByteArray &content);

    std::unique_ptr<ReferenceServer> server;
    std::unique_ptr<QTemporaryDir> dir;
};

void TestApiServer::initTestCase()
{
    if (ReferenceServer::serverBinary().isEmpty())
        QSKIP("the reference server is not part of this build");
    QVERIFY(TestTls::ensure());
    server = std::make_unique<ReferenceServer>();
    QVERIFY2(server->start(), qPrintable(server->lastError()));
}

void TestApiServer::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void TestApiServer::cleanup()
{
    dir->setAutoRemove(!QTest::currentTestFailed());
    dir.reset();
    if (server)
        server->clearFaults();
}

void TestApiServer::cleanupTestCase()
{
    server.reset();
}

bool TestApiServer::signIn(ApiClient &client, const QString &email)
{
    if (!server->addUser(email, password))
        return false;
    client.setBaseUrl(server->baseUrl() + QStringLiteral("/"));
    return client.login(email, password, device);
}

QJsonObject TestApiServer::snapshotItem(ApiClient &client, const QString &path)
{
    const QJsonArray items = client.snapshot().value(QLatin1String("items")).toArray();
    for (const QJsonValue &item : items) {
        if (item.toObject().value(QLatin1String("path")).toString() == path)
            return item.toObject();
    }
    return QJsonObject();
}

QString TestApiServer::writeLocal(const QString &name, const QByteArray &content)
{
    const QString path = dir->filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
        return QString();
    return path;
}

void TestApiServer::login()
{
    const QString email = QStringLiteral("giris@example.com");
    QVERIFY(server->addUser(email, password));
    ApiClient client;
    client.setBaseUrl(server->baseUrl());

    QVERIFY(!client.login(email, QStringLiteral("yanlış"), device));
    QVERIFY(client.token().isEmpty());
    // the server's own reason, not a transport message
    QVERIFY(!client.lastError().isEmpty());
    QVERIFY(client.lastError() != QStringLiteral("Sunucudan geçersiz yanıt alındı."));

    QVERIFY2(client.login(email, password, device), qPrintable(client.lastError()));
    QVERIFY(!client.token().isEmpty());
    QVERIFY(client.lastError().isEmpty());
    QVERIFY(!client.me().isEmpty());

    // a client that never signed in is refused with the server's reason
    ApiClient stranger;
    stranger.setBaseUrl(server->baseUrl());
    QVERIFY(stranger.snapshot().isEmpty());
    QVERIFY(!stranger.lastError().isEmpty());
    QVERIFY(stranger.lastError() != QStringLiteral("Sunucudan geçersiz yanıt alındı."));
}

void TestApiServer::foldersAndSnapshot()
{
    ApiClient client;
    QVERIFY2(signIn(client, QStringLiteral("klasor@example.com")), qPrintable(client.lastError()));

    const QJsonObject top = client.createFolder(QVariant(), QStringLiteral("Belgeler"));
    QVERIFY2(!top.isEmpty(), qPrintable(client.lastError()));
    const qint64 topId = qint64(top.value("item").toObject().value("id").toDouble());
    QVERIFY(topId >= 1);

    const QJsonObject inner = client.createFolder(QVariant(topId), QStringLiteral("Alt klasör"));
    QVERIFY2(!inner.isEmpty(), qPrintable(client.lastError()));

    const QJsonObject item = snapshotItem(client, QStringLiteral("Belgeler/Alt klasör"));
    QCOMPARE(item.value("type").toString(), QStringLiteral("folder"));
    QCOMPARE(qint64(item.value("parent_id").toDouble()), topId);

    // a refusal carries the server's message
    QVERIFY(client.createFolder(QVariant(), QStringLiteral("Belgeler")).isEmpty());
    QVERIFY(client.lastError().contains(QStringLiteral("Belgeler")));
}

void TestApiServer::uploadVersions()
{
    const QString email = QStringLiteral("yukle@example.com");
    ApiClient client;
    QVERIFY2(signIn(client, email), qPrintable(client.lastError()));
    const QByteArray first(300000, 'a');
    const QString path = writeLocal(QStringLiteral("rapor.bin"), first);

    const QJsonObject created = client.uploadFile(QVariant(), path, QStringLiteral("Rapor.bin"), QVariant());
    QVERIFY2(!created.isEmpty(), qPrintable(client.lastError()));
    const QJsonObject stored = created.value("item").toObject();
    const qint64 id = qint64(stored.value("id").toDouble());
    const qint64 version = qint64(stored.value("version").toDouble());
    QCOMPARE(server->content(email, id), first);
    QCOMPARE(stored.value("sha256").toString(), Sha256::hexOf(first));

    // a second first-upload of the same name is refused (409): the reason shown
    // is the network layer's, not the envelope's
    QVERIFY(client.uploadFile(QVariant(), path, QStringLiteral("Rapor.bin"), QVariant()).isEmpty());
    QVERIFY(!client.lastError().isEmpty());
    QVERIFY(!client.lastError().contains(QStringLiteral("Dosya sunucuda")));

    const QByteArray second = "ikinci sürüm";
    QVERIFY(QFile::remove(path));
    writeLocal(QStringLiteral("rapor.bin"), second);
    const QJsonObject updated = client.uploadFile(QVariant(), path, QStringLiteral("Rapor.bin"), QVariant(version));
    QVERIFY2(!updated.isEmpty(), qPrintable(client.lastError()));
    QVERIFY(updated.value("item").toObject().value("version").toDouble() > double(version));
    QCOMPARE(server->content(email, id), second);

    // based on an outdated version: refused, nothing stored
    QVERIFY(client.uploadFile(QVariant(), path, QStringLiteral("Rapor.bin"), QVariant(version)).isEmpty());
    QVERIFY(!client.lastError().isEmpty());
    QCOMPARE(server->content(email, id), second);

    // into a folder
    const qint64 folder = qint64(client.createFolder(QVariant(), QStringLiteral("İç"))
                                     .value("item").toObject().value("id").toDouble());
    QVERIFY(!client.uploadFile(QVariant(folder), path, QStringLiteral("not.txt"), QVariant()).isEmpty());
    QCOMPARE(snapshotItem(client, QStringLiteral("İç/not.txt")).value("sha256").toString(), Sha256::hexOf(second));
}

void TestApiServer::uploadNameWithQuote()
{
    ApiClient client;
    QVERIFY2(signIn(client, QStringLiteral("tirnak@example.com")), qPrintable(client.lastError()));
    const QString path = writeLocal(QStringLiteral("say \"merhaba\"\n.txt"), "içerik");
    // Windows file names hold no quote or line break
    if (path.isEmpty() && QOperatingSystemVersion::currentType() == QOperatingSystemVersion::Windows)
        QSKIP("this file system refuses the name");
    QVERIFY(!path.isEmpty());
    const QJsonObject result = client.uploadFile(QVariant(), path, QStringLiteral("say \"merhaba\".txt"), QVariant());
    QVERIFY2(!result.isEmpty(), qPrintable(client.lastError()));
    QCOMPARE(result.value("item").toObject().value("name").toString(), QStringLiteral("say \"merhaba\".txt"));
}

void TestApiServer::downloadVerified()
{
    const QString email = QStringLiteral("indir@example.com");
    ApiClient client;
    QVERIFY2(signIn(client, email), qPrintable(client.lastError()));
    QByteArray content(1 << 20, '\0');
    for (int i = 0; i < content.size(); ++i)
        content[i] = char(i % 251);
    QVERIFY2(server->putFile(email, QStringLiteral("Fotoğraflar/deniz.jpg"), content), qPrintable(server->lastError()));

    const QJsonObject item = snapshotItem(client, QStringLiteral("Fotoğraflar/deniz.jpg"));
    const qint64 id = qint64(item.value("id").toDouble());
    const QString digest = item.value("sha256").toString();
    QCOMPARE(digest, Sha256::hexOf(content));

    const QString target = dir->filePath(QStringLiteral("deniz.jpg"));
    writeLocal(QStringLiteral("deniz.jpg"), "eski");

    // a corrupted body is caught and the old file stays
    QVERIFY(server->addFault(QStringLiteral("GET"), QStringLiteral("/api/v1/files/"), QStringLiteral("corrupt")));
    QVERIFY(!client.downloadFile(id, target, digest));
    QCOMPARE(client.lastError(), QStringLiteral("İndirilen dosyanın SHA-256 doğrulaması başarısız."));
    QFile old(target);
    QVERIFY(old.open(QIODevice::ReadOnly));
    QCOMPARE(old.readAll(), QByteArray("eski"));
    old.close();

    // a cut connection as well
    QVERIFY(server->addFault(QStringLiteral("GET"), QStringLiteral("/api/v1/files/"), QStringLiteral("cut")));
    QVERIFY(!client.downloadFile(id, target, digest));
    QVERIFY(!client.lastError().isEmpty());

    QVERIFY2(client.downloadFile(id, target, digest.toUpper()), qPrintable(client.lastError()));
    QFile fresh(target);
    QVERIFY(fresh.open(QIODevice::ReadOnly));
    QCOMPARE(fresh.readAll(), content);
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("deniz.jpg")});

    // a node that does not exist
    QVERIFY(!client.downloadFile(id + 1000, target, QString()));
    QVERIFY(!client.lastError().isEmpty());
}

void TestApiServer::downloadFallingBehindIsBounded()
{
    const QString email = QStringLiteral("yavas-disk@example.com");
    ApiClient client;
    QVERIFY2(signIn(client, email), qPrintable(client.lastError()));
    QByteArray content(64 << 20, '\0');
    quint32 x = 2463534242u;
    for (int i = 0; i < content.size(); i += 4) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        memcpy(content.data() + i, &x, 4);
    }
    QJsonObject stored;
    QVERIFY2(server->putFile(email, QStringLiteral("büyük.bin"), content, &stored), qPrintable(server->lastError()));
    const qint64 id = qint64(stored.value("id").toDouble());

    // A disk that stalls now and then: the main thread is held while the
    // network thread goes on receiving, until the download notices the backlog
    // and bounds what the network layer may hold. The stall follows the
    // client's own read of each block from the very first one; Qt's progress
    // signal comes only after a tenth of a second, and on a fast loopback most
    // of the file has been read without falling behind by then.
    qint64 bound = -1;
    int stalls = 0;
    QTimer watch;
    watch.setInterval(0);
    connect(&watch, &QTimer::timeout, this, [&] {
        const QList<QNetworkReply *> replies = ApiClientTestAccess::replies(client);
        if (replies.size() != 1)
            return;
        watch.stop();
        QNetworkReply *reply = replies.first();
        connect(reply, &QNetworkReply::readyRead, this, [&, reply] {
            bound = reply->readBufferSize();
            // long enough that even a slow receiver (Wine's TLS on a busy
            // machine) gathers more than the download lets pile up
            if (bound == 0 && stalls < 40) {
                ++stalls;
                QThread::msleep(500);
            }
        });
    });
    watch.start();
    const QString target = dir->filePath(QStringLiteral("büyük.bin"));
    QVERIFY2(client.downloadFile(id, target, Sha256::hexOf(content)), qPrintable(client.lastError()));
    QCOMPARE(bound, qint64(16 * 1024 * 1024));
    QFile file(target);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll() == content);
}

void TestApiServer::deleteToTrash()
{
    const QString email = QStringLiteral("sil@example.com");
    ApiClient client;
    QVERIFY2(signIn(client, email), qPrintable(client.lastError()));
    QJsonObject stored;
    QVERIFY(server->putFile(email, QStringLiteral("silinecek.txt"), "x", &stored));
    const qint64 id = qint64(stored.value("id").toDouble());
    QVERIFY(id >= 1);

    QVERIFY2(client.deleteNode(id), qPrintable(client.lastError()));
    QVERIFY(client.lastError().isEmpty());
    QVERIFY(snapshotItem(client, QStringLiteral("silinecek.txt")).isEmpty());
    QVERIFY(server->node(email, QStringLiteral("silinecek.txt")).value("trashed").toBool());

    // gone already: every error status is a failure with a reason
    QVERIFY(!client.deleteNode(id + 1000));
    QVERIFY(!client.lastError().isEmpty());
}

QTEST_GUILESS_MAIN(TestApiServer)
#include "tst_apiserver.moc"
