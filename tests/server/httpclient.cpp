#include "httpclient.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QHttpMultiPart>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkRequest>
#include <QSignalSpy>

QJsonObject HttpReply::json() const
{
    return QJsonDocument::fromJson(body).object();
}

HttpClient::HttpClient(const QString &baseUrl) : base(baseUrl) {}

bool HttpClient::login(const QString &email, const QString &password, const QString &device)
{
    const HttpReply reply = post(QStringLiteral("/api/v1/auth/login"),
                                 {{QStringLiteral("email"), email},
                                  {QStringLiteral("password"), password},
                                  {QStringLiteral("device_name"), device}});
    token = reply.json().value(QStringLiteral("token")).toString();
    return reply.status == 200 && !token.isEmpty();
}

QNetworkReply *HttpClient::start(const QByteArray &method, const QString &path, const QByteArray &body,
                                 const QByteArray &contentType)
{
    QNetworkRequest request(QUrl(base + path));
    request.setRawHeader("Accept", "application/json");
    if (!token.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    if (!contentType.isEmpty())
        request.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
    return manager.sendCustomRequest(request, method, body);
}

QNetworkReply *HttpClient::startUpload(const QList<QPair<QString, QByteArray>> &fields, QIODevice *file,
                                       const QString &fileName)
{
    auto *multi = new QHttpMultiPart(QHttpMultiPart::FormDataType);
    for (const auto &field : fields) {
        QHttpPart part;
        part.setHeader(QNetworkRequest::ContentDispositionHeader, QStringLiteral("form-data; name=\"%1\"").arg(field.first));
        part.setBody(field.second);
        multi->append(part);
    }
    if (file) {
        QHttpPart part;
        part.setHeader(QNetworkRequest::ContentDispositionHeader,
                       QStringLiteral("form-data; name=\"file\"; filename=\"%1\"").arg(fileName));
        part.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/octet-stream"));
        part.setBodyDevice(file);
        multi->append(part);
    }
    QNetworkRequest request(QUrl(base + QStringLiteral("/api/v1/files/upload")));
    request.setRawHeader("Accept", "application/json");
    if (!token.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + token.toUtf8());
    QNetworkReply *reply = manager.post(request, multi);
    multi->setParent(reply);
    return reply;
}

HttpReply HttpClient::finish(QNetworkReply *reply, int timeoutMs)
{
    if (!reply->isFinished()) {
        QSignalSpy finished(reply, &QNetworkReply::finished);
        finished.wait(timeoutMs);
    }
    HttpReply out;
    out.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    out.error = reply->error();
    out.body = reply->readAll();
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    out.contentLength = length.isValid() ? length.toLongLong() : -1;
    out.contentType = reply->rawHeader("Content-Type");
    reply->deleteLater();
    return out;
}

HttpReply HttpClient::post(const QString &path, const QJsonObject &body)
{
    return postRaw(path, QJsonDocument(body).toJson(QJsonDocument::Compact));
}

HttpReply HttpClient::upload(const QList<QPair<QString, QByteArray>> &fields, const QByteArray &content)
{
    auto *buffer = new QBuffer;
    buffer->setData(content);
    buffer->open(QIODevice::ReadOnly);
    QNetworkReply *reply = startUpload(fields, buffer);
    buffer->setParent(reply);
    return finish(reply);
}

HttpReply HttpClient::uploadDevice(const QList<QPair<QString, QByteArray>> &fields, QIODevice *file)
{
    return finish(startUpload(fields, file));
}

qint64 HttpClient::createFolder(const QString &name, qint64 parentId)
{
    const HttpReply reply = post(QStringLiteral("/api/v1/folders"),
                                 {{QStringLiteral("name"), name},
                                  {QStringLiteral("parent_id"), parentId > 0 ? QJsonValue(double(parentId)) : QJsonValue()}});
    return qint64(reply.json().value(QStringLiteral("item")).toObject().value(QStringLiteral("id")).toDouble());
}

QString sha256Hex(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
}

QJsonObject itemAt(const QJsonObject &snapshot, const QString &path)
{
    for (const QJsonValue &value : snapshot.value(QStringLiteral("items")).toArray()) {
        if (value.toObject().value(QStringLiteral("path")).toString() == path)
            return value.toObject();
    }
    return {};
}
