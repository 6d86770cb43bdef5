#include "syncengine.h"

#include "sha256.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

// Every pass reads every file, so with many small files the system calls per
// file decide the scan's speed. Here one descriptor serves the times, the size
// and the content: open, one statx, the reads, close. The values are the ones
// QFileInfo and hashFile give.

namespace {

constexpr qint64 chunkSize = 1024 * 1024;

// As Qt turns a statx time into milliseconds; 0 where the file system keeps
// no such time, as for an invalid time elsewhere.
qint64 milliseconds(const struct statx_timestamp &time)
{
    return qint64(time.tv_sec) * 1000 + time.tv_nsec / 1000000;
}

void takeMetadata(const struct statx &status, SyncEngine::LocalFile &file)
{
    file.size = qint64(status.stx_size);
    file.createdMs = (status.stx_mask & STATX_BTIME) ? milliseconds(status.stx_btime) : 0;
    file.modifiedMs = (status.stx_mask & STATX_MTIME) ? milliseconds(status.stx_mtime) : 0;
}

// The digest of everything up to the end of the file; empty on a read error,
// so a broken read never loops. A regular file reports its end with a short
// read; once that comes at or past the size seen when opening, the extra read
// that would return nothing is skipped. Anything else reads on until zero.
QString digestOf(int fd, qint64 sizeAtOpen)
{
    // one buffer and one digest context for all files, instead of an
    // allocation of each per file
    thread_local std::unique_ptr<char[]> buffer(new char[chunkSize]);
    thread_local Sha256 hash;
    hash.reset();
    qint64 total = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buffer.get(), size_t(chunkSize));
        if (n == 0)
            return hash.hexDigest();
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return QString();
        }
        hash.addData(buffer.get(), n);
        total += n;
        if (n < chunkSize && sizeAtOpen >= 0 && total >= sizeAtOpen)
            return hash.hexDigest();
    }
}

} // namespace

SyncEngine::LocalFile SyncEngine::localFileAt(const QString &absolutePath) const
{
    LocalFile file;
    file.absolutePath = absolutePath;
    // what QFileInfo::fileName gives for a "/"-separated path, without its allocation
    file.name = absolutePath.mid(absolutePath.lastIndexOf(QLatin1Char('/')) + 1);

    const QByteArray encoded = QFile::encodeName(absolutePath);
    struct statx status = {};
    const unsigned int wanted = STATX_BASIC_STATS | STATX_BTIME;
    // O_NONBLOCK: a file swapped for a pipe since the listing must not hang the scan
    const int fd = ::open(encoded.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        // listed with an empty digest; the times as far as the path still has them
        if (::statx(AT_FDCWD, encoded.constData(), AT_STATX_SYNC_AS_STAT, wanted, &status) == 0)
            takeMetadata(status, file);
        return file;
    }
    qint64 sizeAtOpen = -1;
    if (::statx(fd, "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, wanted, &status) == 0) {
        takeMetadata(status, file);
        if (S_ISREG(status.stx_mode))
            sizeAtOpen = file.size;
    }
    file.hash = digestOf(fd, sizeAtOpen);
    ::close(fd);
    return file;
}
