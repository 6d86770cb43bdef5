#include "filereader.h"
#include "filereader_p.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// With many small files the system calls per file decide a scan's speed: one
// descriptor serves the times, the size and the content (open, one statx, the
// reads, close).

namespace {

// As Qt turns a statx time into milliseconds; 0 where the file system keeps
// no such time, as for an invalid time elsewhere.
qint64 milliseconds(const struct statx_timestamp &time)
{
    return qint64(time.tv_sec) * 1000 + time.tv_nsec / 1000000;
}

void takeMetadata(const struct statx &status, FileContent &content)
{
    content.size = qint64(status.stx_size);
    content.createdMs = (status.stx_mask & STATX_BTIME) ? milliseconds(status.stx_btime) : 0;
    content.modifiedMs = (status.stx_mask & STATX_MTIME) ? milliseconds(status.stx_mtime) : 0;
}

} // namespace

FileContent FileReaderDetail::readWith(FileReader::Context &context, const QString &path, const std::atomic<bool> *stop)
{
    FileContent content;
    const QByteArray encoded = QFile::encodeName(path);
    struct statx status = {};
    const unsigned int wanted = STATX_BASIC_STATS | STATX_BTIME;
    // O_NONBLOCK: opening a pipe put in the file's place waits for no writer;
    // O_NOCTTY: a terminal put there never becomes ours
    const int fd = ::open(encoded.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        if (::statx(AT_FDCWD, encoded.constData(), AT_STATX_SYNC_AS_STAT, wanted, &status) == 0)
            takeMetadata(status, content);
        return content;
    }
    // the type of what was opened, not of what the path named a moment ago
    if (::statx(fd, "", AT_EMPTY_PATH | AT_STATX_SYNC_AS_STAT, wanted, &status) == 0) {
        takeMetadata(status, content);
        if (S_ISREG(status.stx_mode)) {
            content.sha256 = FileReaderDetail::digestOfReads(
                context,
                [fd](char *buffer, qint64 length) -> qint64 {
                    for (;;) {
                        const ssize_t n = ::read(fd, buffer, size_t(length));
                        if (n >= 0 || errno != EINTR)
                            return n;
                    }
                },
                content.size, stop);
        }
    }
    ::close(fd);
    return content;
}
