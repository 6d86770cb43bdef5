#include "updatemanager.h"

#include "filereader.h"
#include "vendor.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>
#include <QVersionNumber>

#include <filesystem>
#include <memory>
#include <system_error>

namespace {

constexpr int manifestTimeoutMs = 15000;
constexpr int installerTimeoutMs = 60000;
constexpr qint64 manifestLimit = 65536;
constexpr qint64 installerLimit = 536870912; // 512 MiB

QString tooLargeMessage()
{
    return QStringLiteral("Güncelleme paketi izin verilen 512 MiB sınırını aşıyor.");
}

// Empty when the system has no usable temporary folder; a relative name would
// land the installer in whatever the working directory happens to be.
QString installerPath()
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::TempLocation);
    if (folder.isEmpty())
        return QString();
    return QDir(folder).filePath(QStringLiteral("Zelnor-Kumat-Senkronizasyon-guncelleme.exe"));
}

// The download lands here first and reaches the installer path only once its
// digest has matched, so a bad or unverifiable download never replaces (or
// deletes) an installer that is already there.
QString stagingPath(const QString &installer)
{
    return installer + QStringLiteral(".part");
}

QNetworkRequest updateRequest(const QUrl &url, int timeoutMs)
{
    QNetworkRequest request(url);
    request.setTransferTimeout(timeoutMs);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    return request;
}

// Replaces target by source in one step where the platform allows it; the
// verified file is never left half-moved, and an existing target survives a
// failure.
bool replaceFile(const QString &source, const QString &target, QString *error)
{
    std::error_code code;
    std::filesystem::rename(QFileInfo(source).filesystemFilePath(),
                            QFileInfo(target).filesystemFilePath(), code);
    if (code) {
        *error = QString::fromLocal8Bit(code.message().c_str());
        return false;
    }
    return true;
}

} // namespace

UpdateManager::UpdateManager(QObject *parent) : UpdateManager(QString::fromLatin1(Vendor::host), parent) {}

UpdateManager::UpdateManager(const QString &trustedHost, QObject *parent)
    : QObject(parent), network(new QNetworkAccessManager(this)), trustedHost(trustedHost)
{
}

bool UpdateManager::isTrusted(const QUrl &url) const
{
    const QString host = url.host(QUrl::FullyDecoded);
    return url.scheme().toLower() == QLatin1String("https") && !host.isEmpty()
        && host.compare(trustedHost, Qt::CaseInsensitive) == 0;
}

void UpdateManager::checkForUpdates(const QUrl &manifestUrl)
{
    if (!isTrusted(manifestUrl)) {
        Q_EMIT checkFailed(QStringLiteral("Güncelleme adresi güvenli değil."));
        return;
    }
    Q_EMIT log(QStringLiteral("Güncelleme kontrol ediliyor: ") + manifestUrl.toString());

    QNetworkReply *reply = network->get(updateRequest(manifestUrl, manifestTimeoutMs));
    // Stop reading as soon as the manifest is known to be too big: a
    // redirected or misbehaving answer must not be collected in memory first.
    auto tooLarge = std::make_shared<bool>(false);
    connect(reply, &QNetworkReply::downloadProgress, this,
            [reply, tooLarge](qint64 received, qint64 total) {
                if (!*tooLarge && (received > manifestLimit || total > manifestLimit)) {
                    *tooLarge = true;
                    reply->abort();
                }
            });
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, tooLarge] { finishCheck(reply, *tooLarge); });
}

void UpdateManager::finishCheck(QNetworkReply *reply, bool tooLarge)
{
    const QByteArray body = tooLarge ? QByteArray() : reply->readAll();
    const QString errorText = reply->errorString();
    const bool failed = reply->error() != QNetworkReply::NoError;
    const QUrl finalUrl = reply->url();
    reply->deleteLater();

    const QString securityFailure = QStringLiteral("Güncelleme bildirimi güvenlik denetiminden geçemedi.");
    if (tooLarge) {
        Q_EMIT checkFailed(securityFailure);
        return;
    }
    if (failed) {
        Q_EMIT log(QStringLiteral("Güncelleme kontrolü ağ hatası: ") + errorText);
        Q_EMIT checkFailed(errorText);
        return;
    }
    if (!isTrusted(finalUrl) || body.size() > manifestLimit) {
        Q_EMIT checkFailed(securityFailure);
        return;
    }

    QJsonParseError parseError;
    const QJsonObject manifest = QJsonDocument::fromJson(body, &parseError).object();
    const QString version = manifest.value(QLatin1String("version")).toString();
    const QUrl installerUrl(manifest.value(QLatin1String("download_url")).toString(), QUrl::TolerantMode);
    const QString digest = manifest.value(QLatin1String("sha256")).toString().trimmed().toLower();
    const QString notes = manifest.value(QLatin1String("notes")).toString();

    static const QRegularExpression hexDigest(QStringLiteral("^[0-9a-f]{64}$"));
    const bool valid = parseError.error == QJsonParseError::NoError && !version.isEmpty()
        && installerUrl.isValid() && isTrusted(installerUrl) && hexDigest.match(digest).hasMatch();
    if (!valid) {
        Q_EMIT log(QStringLiteral("Güncelleme bildirimi geçersiz: version=") + version
                   + QStringLiteral(", parseError=") + parseError.errorString());
        Q_EMIT checkFailed(QStringLiteral("Güncelleme bildirimi geçersiz."));
        return;
    }
    if (!installerUrl.path(QUrl::FullyDecoded).endsWith(QLatin1String(".exe"), Qt::CaseInsensitive)) {
        Q_EMIT checkFailed(QStringLiteral("Windows güncelleme paketi geçersiz."));
        return;
    }

    const QString appVersion = QCoreApplication::applicationVersion();
    const int order = QVersionNumber::compare(QVersionNumber::fromString(version),
                                              QVersionNumber::fromString(appVersion));
    if (order <= 0) {
        Q_EMIT log(QStringLiteral("Güncel (") + version + QStringLiteral("), yeni sürüm yok. App: ") + appVersion);
        Q_EMIT checkCompleted(version);
        return;
    }
    Q_EMIT log(QStringLiteral("Yeni sürüm bulundu: ") + version + QStringLiteral(" (app: ") + appVersion
               + QStringLiteral(")"));
    downloadUrl = installerUrl;
    expectedSha256 = digest;
    Q_EMIT checkCompleted(version);
    Q_EMIT updateAvailable(version, notes);
}

void UpdateManager::downloadUpdate()
{
    if (!downloadUrl.isValid() || downloadReply)
        return;
    // the new installer goes where the held one is
    heldInstaller.release();

    const QString installer = installerPath();
    saveFile = new QSaveFile(stagingPath(installer), this);
    if (installer.isEmpty() || !saveFile->open(QIODevice::WriteOnly)) {
        dropSaveFile();
        Q_EMIT downloadFailed(QStringLiteral("Güncelleme dosyası oluşturulamadı."));
        return;
    }

    downloadAbortReason.clear();
    QNetworkReply *reply = network->get(updateRequest(downloadUrl, installerTimeoutMs));
    downloadReply = reply;
    // The digest belongs to the installer asked for now; a check that finishes
    // meanwhile and announces another release must not be compared against it.
    const QString digest = expectedSha256;

    connect(reply, &QNetworkReply::metaDataChanged, this, [this, reply] {
        if (reply != downloadReply)
            return;
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > installerLimit)
            abortDownload(tooLargeMessage());
    });
    connect(reply, &QNetworkReply::readyRead, this, [this, reply] {
        if (reply == downloadReply)
            receiveInstaller();
    });
    connect(reply, &QNetworkReply::downloadProgress, this, &UpdateManager::downloadProgress);
    connect(reply, &QNetworkReply::downloadProgress, this, [this, reply](qint64 received, qint64 total) {
        if (reply == downloadReply && (received > installerLimit || total > installerLimit))
            abortDownload(tooLargeMessage());
    });
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, installer, digest] { finishDownload(reply, installer, digest); });
}

void UpdateManager::receiveInstaller()
{
    // abort() finishes the reply on the spot, so nothing may follow it here
    if (writeInstallerChunk(downloadReply->readAll()))
        return;
    downloadReply->abort();
}

bool UpdateManager::writeInstallerChunk(const QByteArray &chunk)
{
    if (chunk.isEmpty() || !downloadAbortReason.isEmpty())
        return downloadAbortReason.isEmpty();
    if (saveFile->pos() + chunk.size() > installerLimit) {
        downloadAbortReason = tooLargeMessage();
        return false;
    }
    if (saveFile->write(chunk) != chunk.size()) {
        downloadAbortReason = QStringLiteral("Güncelleme dosyası yazılamadı: ") + saveFile->fileName()
            + QStringLiteral(" — ") + saveFile->errorString();
        return false;
    }
    return true;
}

void UpdateManager::abortDownload(const QString &message)
{
    if (downloadAbortReason.isEmpty())
        downloadAbortReason = message;
    downloadReply->abort();
}

void UpdateManager::finishDownload(QNetworkReply *reply, const QString &installer, const QString &digest)
{
    if (reply != downloadReply)
        return;

    if (reply->isOpen() && reply->error() == QNetworkReply::NoError)
        writeInstallerChunk(reply->readAll());

    QString failure = downloadAbortReason;
    if (failure.isEmpty() && reply->error() != QNetworkReply::NoError)
        failure = reply->errorString();
    if (failure.isEmpty() && !isTrusted(reply->url()))
        failure = QStringLiteral("Güncelleme paketi güvenlik denetiminden geçemedi.");
    if (failure.isEmpty() && !saveFile->commit()) {
        failure = QStringLiteral("Güncelleme dosyası yazılamadı: ") + saveFile->fileName() + QStringLiteral(" — ")
            + saveFile->errorString();
    }

    reply->deleteLater();
    downloadReply = nullptr;
    downloadAbortReason.clear();
    // Forget the save file before any signal: a slot may start the next
    // download at once, and that one's file must not be dropped here.
    dropSaveFile();
    if (!failure.isEmpty()) {
        Q_EMIT downloadFailed(failure);
        return;
    }

    const QString staged = stagingPath(installer);
    const QString actual = readFileContent(staged).sha256;
    if (actual.isEmpty()) {
        QFile::remove(staged);
        Q_EMIT downloadFailed(QStringLiteral("İndirilen güncelleme doğrulanamadı."));
        return;
    }
    if (actual != digest) {
        QFile::remove(staged);
        Q_EMIT downloadFailed(QStringLiteral("Güncelleme dosyasının güvenlik doğrulaması başarısız."));
        return;
    }

    QString error;
    if (!replaceFile(staged, installer, &error)) {
        QFile::remove(staged);
        Q_EMIT downloadFailed(QStringLiteral("Güncelleme dosyası yerine konamadı: ") + installer
                              + QStringLiteral(" — ") + error);
        return;
    }
    // The digest above kept a bad download from replacing an earlier
    // installer. The one that decides is taken again under the final name,
    // through the handle that then holds the file until the installer has
    // started: the hold cannot begin before the rename, which needs the very
    // access the hold refuses.
    Q_EMIT log(QStringLiteral("Güncelleme dosyası doğrulanıyor: ") + installer);
    const QString held = heldInstaller.hold(installer) ? heldInstaller.sha256() : QString();
    if (held != digest) {
        heldInstaller.release();
        QFile::remove(installer);
        Q_EMIT downloadFailed(held.isEmpty() ? QStringLiteral("İndirilen güncelleme doğrulanamadı.")
                                             : QStringLiteral("Güncelleme dosyasının güvenlik doğrulaması başarısız."));
        return;
    }
    readySha256 = digest;
    Q_EMIT updateReady(installer);
}

bool UpdateManager::removeStartedInstaller(const QString &path, const QString &sha256)
{
    const QFileInfo info(path);
    // gone already, or not a plain file: nothing there is this program's to remove
    if (!info.isAbsolute() || info.isSymLink() || !info.isFile())
        return true;
    HeldFile held;
    if (!held.hold(path))
        return false;
    const QString content = held.sha256();
    held.release();
    if (content.isEmpty())
        return false;
    if (content.compare(sha256, Qt::CaseInsensitive) != 0)
        return true;
    return QFile::remove(path) || !QFileInfo::exists(path);
}

void UpdateManager::releaseInstaller()
{
    heldInstaller.release();
}

void UpdateManager::dropSaveFile()
{
    if (!saveFile)
        return;
    // an uncommitted file goes at once, not when the object is finally deleted,
    // so nothing half-written lingers beside the installer
    if (saveFile->isOpen()) {
        saveFile->cancelWriting();
        saveFile->commit();
    }
    saveFile->deleteLater();
    saveFile = nullptr;
}
