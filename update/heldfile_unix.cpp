#include "heldfile.h"

#include "filereader_p.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Linux has no share modes and no mandatory locks: while the descriptor is
// held, anyone allowed to can still write into the file, rename it or unlink
// it and put another in its place. What holding gives here is only that the
// digest is taken of the file opened, read through one descriptor. Windows,
// where the installer runs, refuses the others (heldfile_win.cpp).

bool HeldFile::hold(const QString &path)
{
    release();
    // O_NONBLOCK: a pipe put in the file's place does not wait for a writer
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat status;
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return false;
    }
    handle = fd;
    return true;
}

QString HeldFile::sha256()
{
    const int fd = int(handle);
    struct stat status;
    if (fd < 0 || ::lseek(fd, 0, SEEK_SET) != 0 || ::fstat(fd, &status) != 0)
        return QString();
    return FileReaderDetail::digestOfReads(
        [fd](char *buffer, qint64 length) -> qint64 {
            for (;;) {
                const ssize_t n = ::read(fd, buffer, size_t(length));
                if (n >= 0 || errno != EINTR)
                    return n;
            }
        },
        qint64(status.st_size));
}

void HeldFile::release()
{
    if (handle < 0)
        return;
    ::close(int(handle));
    handle = -1;
}
