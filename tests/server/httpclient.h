#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPair>
#include <QString>

class QHttpMultiPart;
class QIODevice;

struct HttpReply
{
    int status = 0; // 0: no HTTP answer
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QByteArray body;
    qint64 contentLength = -1;
    QByteArray contentType;

    QJsonObject json() const;
    bool ok() const { return json().value(QStringLiteral("ok")).toBool(); }
    QString message() const { return json().value(QStringLiteral("message")).toString(); }
};

// Plain synchronous HTTPS requests for the server tests: one network access
// manager per client (a "device"), an optional bearer token.
class HttpClient
{
public:
    explicit HttpClient(const QString &baseUrl);

    void setToken(const QString &value) { token = value; }
    bool login(const QString &email, const QString &password, const QString &device = QStringLiteral("test"));

    QNetworkReply *start(const QByteArray &method, const QString &path, const QByteArray &body = {},
                         const QByteArray &contentType = {});
    QNetworkReply *startUpload(const QList<QPair<QString, QByteArray>> &fields, QIODevice *file,
                               const QString &fileName = QStringLiteral("upload.bin"));
    static HttpReply finish(QNetworkReply *reply, int timeoutMs = 60000);

    HttpReply get(const QString &path) { return finish(start("GET", path)); }
    HttpReply post(const QString &path, const QJsonObject &body);
    HttpReply postRaw(const QString &path, const QByteArray &body, const QByteArray &contentType = "application/json")
    {
        return finish(start("POST", path, body, contentType));
    }
    HttpReply del(const QString &path) { return finish(start("DELETE", path)); }
    // Multipart upload with the fields in the order given and the file part last.
    HttpReply upload(const QList<QPair<QString, QByteArray>> &fields, const QByteArray &content);
    HttpReply uploadDevice(const QList<QPair<QString, QByteArray>> &fields, QIODevice *file);
    HttpReply snapshot() { return get(QStringLiteral("/api/v1/sync/snapshot")); }
    HttpReply download(qint64 id) { return get(QStringLiteral("/api/v1/files/%1/download").arg(id)); }
    // Creates a folder and returns its id, 0 on failure.
    qint64 createFolder(const QString &name, qint64 parentId = 0);

private:
    QNetworkAccessManager manager;
    QString base;
    QString token;
};

QString sha256Hex(const QByteArray &data);
// The snapshot item with this path among "items", or an empty object.
QJsonObject itemAt(const QJsonObject &snapshot, const QString &path);
