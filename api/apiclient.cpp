#include "apiclient.h"

#include "followedreply_p.h"
#include "quiettimeout_p.h"
#include "ratelimitedfile_p.h"
#include "uploadform_p.h"
#include "sha256.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QSaveFile>
#include <QTimer>
#include <QUrl>

namespace {

const char *const userCanceled = "zelnorUserCanceled";
const int transferTimeoutMs = 60000;
// the download moves through one reused buffer of this size
const qint64 pieceSize = 1024 * 1024;
// what the network layer may hold of an unthrottled download once this side
// has been seen falling behind by more than lagAllowance
const qint64 unthrottledBuffer = 16 * 1024 * 1024;
const qint64 lagAllowance = 8 * 1024 * 1024;

bool canceledByUser(const QNetworkReply *reply)
{
    return reply->property(userCanceled).toBool();
}

// What the network layer says went wrong, or why a redirect was not followed.
QString failureText(const FollowedReply &followed)
{
    if (!followed.refusal().isEmpty())
        return followed.refusal();
    return followed.reply()->errorString();
}

// An aborted reply is closed and has nothing left to read.
QByteArray readBody(QNetworkReply *reply)
{
    return reply->isOpen() ? reply->readAll() : QByteArray();
}

// Runs a local loop until the followed reply has finished.
void waitFor(FollowedReply &followed)
{
    if (followed.reply()->isFinished())
        return;
    QEventLoop loop;
    QObject::connect(&followed, &FollowedReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
}

// A name inside a quoted Content-Disposition parameter: a double quote would end
// it and CR or LF would start new part headers, so those three are written the
// way browsers write them in form uploads. Everything else goes out unchanged.
QByteArray formFileName(const QString &localPath)
{
    QByteArray name = QFileInfo(localPath).fileName().toUtf8();
    name.replace('"', "%22");
    name.replace('\r', "%0D");
    name.replace('\n', "%0A");
    return name;
}

QByteArray fieldDisposition(const QByteArray &name)
{
    return "form-data; name=\"" + name + '"';
}

} // namespace

ApiClient::ApiClient(QObject *parent)
    : QObject(parent)
{
}

void ApiClient::setBaseUrl(const QString &url)
{
    base = url.trimmed();
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    account.clear();
    lastSnapshot = Reply();
}

QString ApiClient::baseUrl() const
{
    return base;
}

QString ApiClient::token() const
{
    return bearerToken;
}

QString ApiClient::lastError() const
{
    return error;
}

int ApiClient::lastStatus() const
{
    return status;
}

void ApiClient::setTransferLimits(int downloadKiBps, int uploadKiBps)
{
    downloadLimit = downloadKiBps;
    uploadLimit = uploadKiBps;
}

void ApiClient::cancelActiveTransfers()
{
    const QList<QNetworkReply *> replies = network.findChildren<QNetworkReply *>();
    for (QNetworkReply *reply : replies) {
        // finished replies only wait for deletion; their operation has its answer
        if (reply->isFinished())
            continue;
        // mark first: the abort finishes the reply at once and the waiting
        // operation reads the mark to tell a stop from a failure
        reply->setProperty(userCanceled, true);
        reply->abort();
    }
}

QNetworkRequest ApiClient::request(const QString &path) const
{
    QNetworkRequest req(QUrl(base + path, QUrl::TolerantMode));
    req.setTransferTimeout(transferTimeoutMs);
    // Qt would carry the token along to wherever the server redirects;
    // FollowedReply decides each redirect instead.
    req.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                     QNetworkRequest::UserVerifiedRedirectPolicy);
    req.setRawHeader("Accept", "application/json");
    req.setRawHeader("User-Agent",
                     "Zelnor-KumatSync/" + QCoreApplication::applicationVersion().toUtf8());
    if (!bearerToken.isEmpty())
        req.setRawHeader("Authorization", "Bearer " + bearerToken.toUtf8());
    return req;
}

QByteArray ApiClient::rawRequest(const QString &method, const QString &path, const QByteArray &body,
                                 const QByteArray &contentType, int *replyStatus)
{
    error.clear();
    status = 0;
    QNetworkRequest req = request(path);
    if (!contentType.isEmpty())
        req.setHeader(QNetworkRequest::ContentTypeHeader, contentType);

    QNetworkReply *reply = nullptr;
    if (method == QLatin1String("GET"))
        reply = network.get(req);
    else if (method == QLatin1String("POST"))
        reply = network.post(req, body);
    else if (method == QLatin1String("PATCH") || method == QLatin1String("DELETE"))
        reply = network.sendCustomRequest(req, method.toLatin1(), body);
    else
        return QByteArray();

    FollowedReply followed(&network, req, reply, method == QLatin1String("GET"));
    waitFor(followed);
    reply = followed.reply();

    status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (replyStatus)
        *replyStatus = status;
    if (status == 401 && !bearerToken.isEmpty())
        Q_EMIT signInRejected();
    const QByteArray bytes = readBody(reply);

    if (reply->error() != QNetworkReply::NoError) {
        if (canceledByUser(reply)) {
            error = QStringLiteral("İşlem durduruldu.");
        } else {
            const QJsonDocument doc = QJsonDocument::fromJson(bytes);
            const QJsonValue message = doc.isObject() ? doc.object().value(QLatin1String("message"))
                                                      : QJsonValue();
            error = message.isString() ? message.toString() : failureText(followed);
        }
    }
    reply->deleteLater();
    return bytes;
}

QJsonObject ApiClient::jsonRequest(const QString &method, const QString &path, const QJsonObject &body,
                                   Reply *kept)
{
    const QByteArray bytes = rawRequest(method, path, QJsonDocument(body).toJson(QJsonDocument::Compact),
                                        QByteArrayLiteral("application/json"), nullptr);
    const bool success = status >= 200 && status <= 299;
    // The same text parses to the same object: a tree that did not change
    // comes back as the same text, and its parse is most of what a pass with
    // nothing to do costs this side.
    if (kept && success && !bytes.isEmpty() && bytes == kept->text) {
        error.clear();
        return kept->object;
    }
    QJsonObject envelope;
    // parseOk always runs, so its message is the one the caller sees
    const bool ok = parseOk(bytes, &envelope);
    if (kept)
        *kept = ok && success ? Reply{bytes, envelope} : Reply();
    if (ok && success)
        return envelope;
    return QJsonObject();
}

bool ApiClient::parseOk(const QByteArray &bytes, QJsonObject *out)
{
    const QJsonDocument doc = QJsonDocument::fromJson(bytes);
    if (!doc.isObject()) {
        error = QStringLiteral("Sunucudan geçersiz yanıt alındı.");
        return false;
    }
    const QJsonObject object = doc.object();
    if (!object.value(QLatin1String("ok")).toBool(false)) {
        // an empty message would report the failure without any reason
        const QJsonValue message = object.value(QLatin1String("message"));
        error = message.isString() && !message.toString().trimmed().isEmpty() ? message.toString()
                                                                              : QStringLiteral("İşlem başarısız.");
        return false;
    }
    if (out)
        *out = object;
    error.clear();
    return true;
}

bool ApiClient::login(const QString &email, const QString &password, const QString &deviceName)
{
    // no stale token may travel with the login, and a failed login leaves none
    bearerToken.clear();
    account.clear();
    signedInEmail = email.trimmed();
    lastSnapshot = Reply();
    const QJsonObject body{
        {QStringLiteral("email"), email},
        {QStringLiteral("password"), password},
        {QStringLiteral("device_name"), deviceName},
    };
    const QJsonObject envelope = jsonRequest(QStringLiteral("POST"), QStringLiteral("/api/v1/auth/login"), body);
    const QJsonValue value = envelope.value(QLatin1String("token"));
    bearerToken = value.isString() ? value.toString() : QString();
    return !bearerToken.isEmpty();
}

QJsonObject ApiClient::me()
{
    return jsonRequest(QStringLiteral("GET"), QStringLiteral("/api/v1/me"), QJsonObject());
}

QString ApiClient::accountId()
{
    if (!account.isEmpty())
        return account;
    const QJsonObject reply = me();
    if (reply.isEmpty()) {
        // no answer, or one that may change (an expired sign-in, a server
        // fault): the account is not known yet
        if (status == 0 || status == 401 || status == 408 || status == 429 || status >= 500)
            return QString();
    }
    const QJsonObject user = reply.value(QLatin1String("user")).toObject();
    for (const QJsonObject &holder : {user, reply}) {
        const QJsonValue id = holder.value(QLatin1String("id"));
        if (id.isDouble() && id.toDouble() >= 1 && id.toDouble() < 9007199254740992.0
            && id.toDouble() == double(qint64(id.toDouble()))) {
            account = QStringLiteral("id:") + QString::number(qint64(id.toDouble()));
            return account;
        }
        if (id.isString() && !id.toString().trimmed().isEmpty()) {
            account = QStringLiteral("id:") + id.toString().trimmed();
            return account;
        }
    }
    for (const QJsonObject &holder : {user, reply}) {
        const QString email = holder.value(QLatin1String("email")).toString().trimmed();
        if (!email.isEmpty()) {
            account = QStringLiteral("email:") + email.toCaseFolded();
            return account;
        }
    }
    account = QStringLiteral("email:") + signedInEmail.toCaseFolded();
    return account;
}

QJsonObject ApiClient::snapshot()
{
    return jsonRequest(QStringLiteral("GET"), QStringLiteral("/api/v1/sync/snapshot"), QJsonObject(), &lastSnapshot);
}

QJsonObject ApiClient::createFolder(const QVariant &parentId, const QString &name)
{
    const QJsonObject body{
        {QStringLiteral("name"), name},
        {QStringLiteral("parent_id"),
         parentId.isValid() ? QJsonValue::fromVariant(parentId) : QJsonValue(QJsonValue::Null)},
    };
    return jsonRequest(QStringLiteral("POST"), QStringLiteral("/api/v1/folders"), body);
}

bool ApiClient::deleteNode(qint64 id)
{
    if (id < 1)
        return false;
    rawRequest(QStringLiteral("DELETE"), QStringLiteral("/api/v1/nodes/%1").arg(id), QByteArray(), QByteArray(),
               nullptr);
    if (!error.isEmpty())
        return false;
    if (status >= 200 && status <= 299)
        return true;
    error = QStringLiteral("Silme isteği başarısız (HTTP %1).").arg(status);
    return false;
}

QJsonObject ApiClient::uploadFile(const QVariant &parentId, const QString &localPath, const QString &name,
                                  const QVariant &expectedVersion)
{
    error.clear();
    status = 0;

    auto *form = new UploadForm;
    if (parentId.isValid())
        form->addField(fieldDisposition("parent_id"), parentId.toString().toUtf8());
    if (expectedVersion.isValid())
        form->addField(fieldDisposition("expected_version"), expectedVersion.toString().toUtf8());
    form->addField(fieldDisposition("name"), name.toUtf8());

    const qint64 byteRate = uploadLimit > 0 ? qint64(uploadLimit) * 1024 : 0;
    auto *file = new RateLimitedFile(localPath, byteRate, form);
    if (!file->open(QIODevice::ReadOnly)) {
        error = QStringLiteral("Yerel dosya açılamadı: ") + localPath;
        delete form;
        return QJsonObject();
    }
    form->addFile("form-data; name=\"file\"; filename=\"" + formFileName(localPath) + '"',
                  QByteArrayLiteral("application/octet-stream"), file);
    form->finish();

    QNetworkRequest req = request(QStringLiteral("/api/v1/files/upload"));
    req.setHeader(QNetworkRequest::ContentTypeHeader, form->contentType());
    QNetworkReply *reply = network.post(req, form);
    form->setParent(reply);

    // the body cannot be sent again to another origin: such a redirect fails
    FollowedReply followed(&network, req, reply, false);
    connect(&followed, &FollowedReply::uploadProgress, this, &ApiClient::uploadProgress);
    waitFor(followed);
    reply = followed.reply();
    status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 401)
        Q_EMIT signInRejected();
    // the reply is deleted later, and the form and the file with it: the user's
    // file is not held open meanwhile (Windows refuses to delete, rename or
    // replace an open file, the pass's own next step included)
    file->close();

    const QByteArray bytes = readBody(reply);
    QJsonObject envelope;
    if (reply->error() == QNetworkReply::NoError && parseOk(bytes, &envelope)) {
        reply->deleteLater();
        return envelope;
    }
    if (canceledByUser(reply))
        error = QStringLiteral("Yükleme durduruldu.");
    else if (error.isEmpty())
        error = failureText(followed);
    reply->deleteLater();
    return QJsonObject();
}

bool ApiClient::downloadFile(qint64 id, const QString &targetPath, const QString &expectedSha256)
{
    status = 0;
    QNetworkRequest req = request(QStringLiteral("/api/v1/files/%1/download").arg(id));
    // The same allowance as every request, kept by QuietTimeout: Qt's own timer
    // costs the main thread a queued call per network block.
    req.setTransferTimeout(0);
    FollowedReply followed(&network, req, network.get(req), true);
    connect(&followed, &FollowedReply::downloadProgress, this, &ApiClient::downloadProgress);
    QuietTimeout quiet(&followed, transferTimeoutMs);

    const qint64 byteRate = downloadLimit > 0 ? qint64(downloadLimit) * 1024 : 0;
    const qint64 chunk = byteRate / 10;
    // With a limit the network layer holds about a fifth of a second's worth, so
    // the connection itself slows down while the pump below reads slowly. Qt
    // refills that buffer only once it has been read empty, so it holds exactly
    // two of the pump's steps: with a byte more (a fifth of 1024 KiB is 209 715
    // bytes, two tenths 209 714) every third step would find one byte and the
    // rate would fall to two thirds of the limit.
    // Without a limit the buffer starts unbounded: bounded, Qt's network thread
    // hands the body over block by block and waits to hear that each was read,
    // a fifth of the download's processor time. It is bounded for the rest of
    // the transfer as soon as a drain finds more than lagAllowance waiting,
    // since a network thread that keeps outrunning hashing and writing piled up
    // 887 MiB of a 1 GiB download here. The bound is never lifted again: Qt
    // keeps its own count of what it handed over under a bound.
    bool bounded = chunk > 0;
    const auto boundBuffer = [chunk, &bounded](QNetworkReply *reply) {
        if (bounded)
            reply->setReadBufferSize(chunk > 0 ? qMax<qint64>(1024, 2 * chunk) : unthrottledBuffer);
    };
    boundBuffer(followed.reply());
    connect(&followed, &FollowedReply::replaced, &followed, boundBuffer);

    QSaveFile target(targetPath);
    // unbuffered, so that a refused write shows in the write that failed
    if (!target.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        error = QStringLiteral("Hedef dosya yazılamadı.");
        QNetworkReply *reply = followed.reply();
        reply->abort();
        reply->deleteLater();
        return false;
    }

    Sha256 digest;
    QEventLoop loop;
    bool finished = false;
    bool writeFailed = false;
    bool done = false;
    QTimer pace;

    // Bytes gather in one reused buffer and go to the digest and the disk a
    // piece at a time: the network layer hands them over in small blocks, and a
    // system call per block costs more than the hashing.
    QByteArray buffer(int(pieceSize), Qt::Uninitialized);
    qint64 filled = 0;
    const auto flush = [&] {
        if (filled == 0)
            return;
        digest.addData(buffer.constData(), filled);
        // keep receiving to the end; the outcome reports the failed write
        if (target.write(buffer.constData(), filled) < filled)
            writeFailed = true;
        filled = 0;
    };
    const auto drain = [&] {
        QNetworkReply *reply = followed.reply();
        if (!bounded && reply->bytesAvailable() > lagAllowance) {
            bounded = true;
            boundBuffer(reply);
        }
        qint64 left = chunk > 0 ? qMin(chunk, reply->bytesAvailable()) : reply->bytesAvailable();
        while (left > 0) {
            const qint64 n = reply->read(buffer.data() + filled, qMin<qint64>(left, pieceSize - filled));
            if (n <= 0)
                break;
            left -= n;
            filled += n;
            if (filled == pieceSize)
                flush();
        }
        // a throttled transfer writes what each step moved
        if (chunk > 0 || finished)
            flush();
        if (finished && reply->bytesAvailable() == 0) {
            done = true;
            loop.quit();
        }
    };

    if (byteRate > 0) {
        pace.setTimerType(Qt::PreciseTimer);
        pace.setInterval(100);
        connect(&pace, &QTimer::timeout, &loop, drain);
        pace.start();
    } else {
        connect(&followed, &FollowedReply::readyRead, &loop, drain);
    }
    connect(&followed, &FollowedReply::finished, &loop, [&] {
        finished = true;
        drain();
    });
    if (followed.reply()->isFinished()) {
        finished = true;
        drain();
    }
    if (!done)
        loop.exec();
    pace.stop();
    flush();

    QNetworkReply *reply = followed.reply();
    status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 401)
        Q_EMIT signInRejected();
    const bool failed = reply->error() != QNetworkReply::NoError;
    const QString failure = canceledByUser(reply) ? QStringLiteral("İndirme durduruldu.") : failureText(followed);
    reply->deleteLater();

    if (failed || writeFailed) {
        target.cancelWriting();
        error = writeFailed ? QStringLiteral("İndirilen dosya diske yazılamadı.") : failure;
        return false;
    }
    const QString actual = digest.hexDigest();
    if (!expectedSha256.isEmpty() && actual.compare(expectedSha256, Qt::CaseInsensitive) != 0) {
        target.cancelWriting();
        error = QStringLiteral("İndirilen dosyanın SHA-256 doğrulaması başarısız.");
        return false;
    }
    if (!target.commit()) {
        error = QStringLiteral("İndirilen dosya güvenli biçimde hedefe taşınamadı.");
        return false;
    }
    error.clear();
    return true;
}
