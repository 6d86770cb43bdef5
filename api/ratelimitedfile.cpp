#include "ratelimitedfile_p.h"

#include <QThread>

RateLimitedFile::RateLimitedFile(const QString &path, qint64 bytesPerSecond, QObject *parent)
    : QFile(path, parent)
    , byteRate(bytesPerSecond)
{
    // Time spent connecting counts as budget, so the clock starts before the
    // request is even sent.
    clock.start();
}

RateLimitedFile::~RateLimitedFile() = default;

qint64 RateLimitedFile::readData(char *data, qint64 maxSize)
{
    if (byteRate > 0)
        maxSize = qMin(maxSize, qMax<qint64>(1, byteRate / 10));

    const qint64 n = QFile::readData(data, maxSize);
    if (n > 0 && byteRate > 0) {
        bytesRead += n;
        const qint64 due = bytesRead * 1000 / byteRate;
        if (clock.elapsed() < due) {
            const qint64 wait = due - clock.elapsed();
            if (wait > 0)
                QThread::msleep(static_cast<unsigned long>(wait));
        }
    }
    return n;
}
