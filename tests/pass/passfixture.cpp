#include "passfixture.h"

#include "referenceserver.h"
#include "testplatform.h"
#include "testtls.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSslError>
#include <QTest>

QString sha256Hex(const QByteArray &content)
{
    return QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex());
}

Device::Device(const QString &folder, QObject *parent)
    : QObject(parent)
    , folder(folder)
    , engine(&api)
{
    connect(&engine, &SyncEngine::log, this, [this](const QString &line) { logs.append(line); });
    connect(&engine, &SyncEngine::notification, this,
            [this](const QString &title, const QString &message, int severity) {
                notices.append(Notice{title, message, severity});
            });
    engine.configure(folder, 60);
}

bool Device::signIn(const QString &baseUrl, const QString &email, const QString &password)
{
    api.setBaseUrl(baseUrl);
    return api.login(email, password, QStringLiteral("Kumat Sync Masaüstü"));
}

void Device::pass()
{
    logs.clear();
    notices.clear();
    engine.start();
    engine.stop();
}

QString Device::path(const QString &relative) const
{
    return QDir(folder).filePath(relative);
}

bool Device::write(const QString &relative, const QByteArray &content)
{
    const QString target = path(relative);
    QDir().mkpath(QFileInfo(target).absolutePath());
    QFile file(target);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(content) == content.size();
}

QByteArray Device::read(const QString &relative) const
{
    QFile file(path(relative));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

bool Device::exists(const QString &relative) const
{
    return QFileInfo::exists(path(relative));
}

QStringList Device::filesUnder(const QString &relative) const
{
    const QString root = path(relative);
    QStringList files;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(QDir(root).relativeFilePath(it.next()));
    files.sort();
    return files;
}

QJsonObject Device::savedState() const
{
    // the records; the account they belong to is kept under the empty key
    QJsonObject records = QJsonDocument::fromJson(stateFileBytes()).object();
    records.remove(QString());
    return records;
}

QByteArray Device::stateFileBytes() const
{
    return read(QStringLiteral(".kumat-sync.json"));
}

bool Device::loggedStartingWith(const QString &prefix) const
{
    for (const QString &line : logs) {
        if (line.startsWith(prefix))
            return true;
    }
    return false;
}

PassCounters Device::counters() const
{
    static const QRegularExpression summary(QStringLiteral(
        "^Yüklenen: (\\d+), indirilen: (\\d+), portal silme arşivi: (\\d+), çöpe taşındı: (\\d+), "
        "yerel silindi: (\\d+), hata: (\\d+)$"));
    PassCounters c;
    for (const Notice &notice : notices) {
        const QRegularExpressionMatch m = summary.match(notice.message);
        if (!m.hasMatch())
            continue;
        c.uploaded = m.captured(1).toInt();
        c.downloaded = m.captured(2).toInt();
        c.archived = m.captured(3).toInt();
        c.trashed = m.captured(4).toInt();
        c.localDeleted = m.captured(5).toInt();
        c.errors = m.captured(6).toInt();
    }
    return c;
}

bool Device::noticed(const QString &title) const
{
    for (const Notice &notice : notices) {
        if (notice.title == title)
            return true;
    }
    return false;
}

PassFixture::PassFixture() = default;

PassFixture::~PassFixture()
{
    endTest();
    delete server;
}

bool PassFixture::start(bool withServer)
{
    if (!TestTls::ensure() || !TestPlatform::useStandInRecycleBin())
        return false;
    // The platform trash follows the data folder; it is left uncreated here,
    // since the engine has to cope with a desktop that has none yet.
    qputenv("HOME", QFile::encodeName(home.filePath(QStringLiteral("home"))));
    QDir().mkpath(home.filePath(QStringLiteral("home")));
    if (!withServer)
        return true;
    server = new ReferenceServer;
    return server->start();
}

bool PassFixture::beginTest()
{
    work = new QTemporaryDir;
    // a trash of its own per test, its data folder not yet made
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome()));
    accountEmail = QStringLiteral("kisi%1@example.test").arg(++accountCounter);
    return work->isValid() && (!server || server->addUser(accountEmail, password()));
}

void PassFixture::endTest()
{
    qDeleteAll(devices);
    devices.clear();
    if (work) {
        work->setAutoRemove(!QTest::currentTestFailed());
        if (!work->autoRemove())
            qWarning("sync folders kept in %s", qPrintable(work->path()));
        delete work;
        work = nullptr;
    }
}

Device *PassFixture::device(const QString &name)
{
    if (Device *existing = devices.value(name))
        return existing;
    auto *created = new Device(work->filePath(QStringLiteral("sync-") + name));
    if (!created->signIn(server->baseUrl(), accountEmail, password())) {
        // The client reports a failed transfer as an answer it could not read;
        // a plain request of the same address says what the transfer met.
        QNetworkAccessManager probe;
        QNetworkReply *reply = probe.get(QNetworkRequest(QUrl(server->baseUrl() + QStringLiteral("/api/v1/me"))));
        QStringList tlsErrors;
        QObject::connect(reply, &QNetworkReply::sslErrors, reply, [&tlsErrors](const QList<QSslError> &errors) {
            for (const QSslError &error : errors)
                tlsErrors << error.errorString();
        });
        QSignalSpy finished(reply, &QNetworkReply::finished);
        if (!reply->isFinished())
            finished.wait(20000);
        TestTls::systemCheckHolds();
        qWarning("sign-in failed: %s (the server at %s is %s; a plain request there: HTTP %d, %s; TLS: %s)",
                 qPrintable(created->api.lastError()), qPrintable(server->baseUrl()),
                 server->isRunning() ? "running" : "not running",
                 reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), qPrintable(reply->errorString()),
                 qPrintable(tlsErrors.join(QStringLiteral("; "))));
        delete reply;
    }
    devices.insert(name, created);
    return created;
}

Device *PassFixture::synced(const QMap<QString, QByteArray> &files)
{
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!server->putFile(accountEmail, it.key(), it.value()))
            qWarning("put-file failed: %s", qPrintable(server->lastError()));
    }
    Device *d = device();
    d->pass();
    return d;
}

QString PassFixture::dataHome() const
{
    return work ? work->filePath(QStringLiteral("data")) : home.filePath(QStringLiteral("data"));
}

QString PassFixture::trashFilesDir() const
{
    return QDir(dataHome()).filePath(QStringLiteral("Trash/files"));
}
