#include "quiettimeout_p.h"

#include "followedreply_p.h"

QuietTimeout::QuietTimeout(FollowedReply *followed, int timeoutMs)
    : followed(followed)
    , timeoutMs(timeoutMs)
{
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this, &QuietTimeout::expire);
    connect(followed, &FollowedReply::readyRead, this, [this] { sinceData.restart(); });
    // a redirected GET starts over on a new request, with a fresh allowance
    connect(followed, &FollowedReply::replaced, this, &QuietTimeout::arm);
    connect(followed, &FollowedReply::finished, &timer, &QTimer::stop);
    arm();
}

void QuietTimeout::arm()
{
    sinceData.start();
    timer.start(timeoutMs);
}

void QuietTimeout::expire()
{
    const qint64 left = timeoutMs - sinceData.elapsed();
    if (left > 0) {
        timer.start(int(left));
        return;
    }
    if (QNetworkReply *reply = followed->reply())
        reply->abort();
}
