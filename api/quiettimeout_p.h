#pragma once

// Internal to the server client.

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class FollowedReply;

// Aborts a followed reply once nothing has arrived for timeoutMs, as Qt's own
// transfer timeout does (the reply then ends with OperationCanceledError). Qt
// re-arms its timer through a queued call for every block its network thread
// hands over, which on a fast download means tens of thousands of wake-ups of
// the main thread per 256 MiB. Here a block only notes the time, and the one
// timer looks at that note when it fires and sleeps again for what is left.
class QuietTimeout : public QObject
{
public:
    QuietTimeout(FollowedReply *followed, int timeoutMs);

private:
    void arm();
    void expire();

    FollowedReply *followed;
    int timeoutMs;
    QElapsedTimer sinceData;
    QTimer timer;
};
