#pragma once

// Internal to the server client: the throttled file device of the upload.
// It lives in a header of its own only so that its tests can read through it.

#include <QElapsedTimer>
#include <QFile>

// Holds reading back to a byte rate. The throttle is in the reads themselves:
// each read returns at most a tenth of a second's worth and then waits until the
// schedule, counted from construction, has caught up. No timer is needed, and
// the network layer asks for more only as fast as the reads let it.
class RateLimitedFile : public QFile
{
public:
    // bytesPerSecond of 0 or less: no throttling.
    RateLimitedFile(const QString &path, qint64 bytesPerSecond, QObject *parent = nullptr);
    ~RateLimitedFile() override;

protected:
    qint64 readData(char *data, qint64 maxSize) override;

private:
    qint64 byteRate;
    qint64 bytesRead = 0;
    QElapsedTimer clock;
};
