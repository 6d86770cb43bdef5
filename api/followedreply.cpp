#include "followedreply_p.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

namespace {

const QByteArray authorization = QByteArrayLiteral("Authorization");

int defaultPort(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("https"))
        return url.port(443);
    if (scheme == QLatin1String("http"))
        return url.port(80);
    return url.port();
}

} // namespace

FollowedReply::FollowedReply(QNetworkAccessManager *network, const QNetworkRequest &request,
                             QNetworkReply *reply, bool refetchElsewhere)
    : network(network)
    , original(request)
    , origin(request.url())
    , at(request.url())
    , refetchElsewhere(refetchElsewhere)
    , credentials(request.hasRawHeader(authorization))
{
    watch(reply);
}

FollowedReply::~FollowedReply() = default;

bool FollowedReply::sameOrigin(const QUrl &a, const QUrl &b)
{
    return a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0
        && a.host().compare(b.host(), Qt::CaseInsensitive) == 0
        && defaultPort(a) == defaultPort(b);
}

void FollowedReply::watch(QNetworkReply *reply)
{
    current = reply;
    connect(reply, &QNetworkReply::finished, this, &FollowedReply::finished);
    connect(reply, &QNetworkReply::readyRead, this, &FollowedReply::readyRead);
    connect(reply, &QNetworkReply::uploadProgress, this, &FollowedReply::uploadProgress);
    connect(reply, &QNetworkReply::downloadProgress, this, &FollowedReply::downloadProgress);
    connect(reply, &QNetworkReply::redirected, this, &FollowedReply::judge);
}

void FollowedReply::judge(const QUrl &target)
{
    QNetworkReply *reply = current;
    if (!reply)
        return;

    if (at.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0
        && target.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) != 0) {
        refuse(QStringLiteral("Sunucu isteği güvenli olmayan bir adrese yönlendirdi."));
        return;
    }

    if (sameOrigin(target, origin) || (refetchElsewhere && !credentials)) {
        at = target;
        Q_EMIT reply->redirectAllowed();
        return;
    }

    if (!refetchElsewhere) {
        refuse(QStringLiteral("Sunucu isteği başka bir adrese yönlendirdi; güvenlik nedeniyle izlenmedi."));
        return;
    }

    // The token belongs to the server alone: fetch the new place without it.
    QNetworkRequest fresh = original;
    fresh.setUrl(target);
    fresh.setRawHeader(authorization, QByteArray());
    credentials = false;
    at = target;

    disconnect(reply, nullptr, this, nullptr);
    reply->abort();
    reply->deleteLater();

    QNetworkReply *next = network->get(fresh);
    watch(next);
    Q_EMIT replaced(next);
}

void FollowedReply::refuse(const QString &reason)
{
    refused = reason;
    // Ends the reply with an error, as a failed connection would; the waiting
    // operation then reports the reason above.
    if (current)
        current->abort();
}
