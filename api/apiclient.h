#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QObject>
#include <QString>
#include <QVariant>

// The one component that talks to the synchronisation server. Every operation
// is synchronous for its caller: it waits for its reply in a nested event loop,
// so the pass reads as straight-line code while timers and the stop command
// keep working. Failures are reported by the result, the reason by lastError().
class ApiClient : public QObject
{
    Q_OBJECT

public:
    explicit ApiClient(QObject *parent = nullptr);

    void setBaseUrl(const QString &url);
    QString baseUrl() const;
    QString token() const;
    QString lastError() const;
    // The HTTP status of the last request's reply; 0 when none came (a cut
    // connection, a time-out, a stop). Tells a final refusal from a passing fault.
    int lastStatus() const;
    void setTransferLimits(int downloadKiBps, int uploadKiBps);
    void cancelActiveTransfers();

    bool login(const QString &email, const QString &password, const QString &deviceName);
    QJsonObject me();
    // The signed-in account as the server knows it, the same across sign-ins
    // and devices: "id:" and the id the account reply gives, else "email:"
    // and its e-mail (the one signed in with, where the server tells
    // neither). Asked once per sign-in; empty while the server cannot be
    // asked (the reason in lastError()).
    QString accountId();
    QJsonObject snapshot();
    QJsonObject createFolder(const QVariant &parentId, const QString &name);
    bool deleteNode(qint64 id);
    QJsonObject uploadFile(const QVariant &parentId, const QString &localPath, const QString &name,
                           const QVariant &expectedVersion);
    bool downloadFile(qint64 id, const QString &targetPath, const QString &expectedSha256);

Q_SIGNALS:
    void uploadProgress(qint64 sent, qint64 total);
    void downloadProgress(qint64 received, qint64 total);
    // The server refused the token of a request (401): the sign-in has
    // expired or was revoked. Not sent for the login itself.
    void signInRejected();

private:
    friend class ApiClientTestAccess;

    QNetworkRequest request(const QString &path) const;
    QByteArray rawRequest(const QString &method, const QString &path, const QByteArray &body,
                          const QByteArray &contentType, int *status);
    // a reply's text and what it parsed to
    struct Reply
    {
        QByteArray text;
        QJsonObject object;
    };
    QJsonObject jsonRequest(const QString &method, const QString &path, const QJsonObject &body,
                            Reply *kept = nullptr);
    bool parseOk(const QByteArray &bytes, QJsonObject *out);

    QNetworkAccessManager network;
    QString base;
    QString bearerToken;
    QString signedInEmail;
    QString account;
    QString error;
    int status = 0;
    int downloadLimit = 0;
    int uploadLimit = 0;
    // the last snapshot that parsed, kept for the next one
    Reply lastSnapshot;
};
