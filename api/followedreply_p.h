#pragma once

// Internal to the server client.

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;

// Follows one request of the client through its redirects. Qt copies every
// header onto the redirected request, the bearer token included, so each
// redirect is judged here against the origin (scheme, host, port) of the
// server the request was meant for:
// - inside that origin, Qt follows it as it would on its own;
// - a GET leaving the origin is fetched again with a fresh request that
//   carries no Authorization header; once without credentials it may follow
//   further redirects anywhere;
// - any other method leaving the origin fails, as does every step from HTTPS
//   down to plain HTTP: the body (a password, a file) stays where it was sent.
// The reply may thus be replaced once; listeners connect to this object.
class FollowedReply : public QObject
{
    Q_OBJECT

public:
    // The request must carry QNetworkRequest::UserVerifiedRedirectPolicy.
    FollowedReply(QNetworkAccessManager *network, const QNetworkRequest &request,
                  QNetworkReply *reply, bool refetchElsewhere);
    ~FollowedReply() override;

    QNetworkReply *reply() const { return current; }
    // Why a redirect was refused; empty when none was.
    QString refusal() const { return refused; }

    static bool sameOrigin(const QUrl &a, const QUrl &b);

Q_SIGNALS:
    void finished();
    void readyRead();
    void uploadProgress(qint64 sent, qint64 total);
    void downloadProgress(qint64 received, qint64 total);
    // The redirected GET now continues on this new reply.
    void replaced(QNetworkReply *reply);

private:
    void watch(QNetworkReply *reply);
    void judge(const QUrl &target);
    void refuse(const QString &reason);

    QNetworkAccessManager *network;
    QNetworkRequest original;
    QPointer<QNetworkReply> current;
    QUrl origin;
    QUrl at;
    bool refetchElsewhere;
    bool credentials;
    QString refused;
};
