#include "folderlock.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

bool FolderLock::heldByRunningProgram(const QString &lockPath)
{
    const int fd = ::open(QFile::encodeName(lockPath).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno != ENOENT;
    // the holder keeps an exclusive lock on the file while it runs
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    const bool held = !free && errno == EWOULDBLOCK;
    if (free)
        ::flock(fd, LOCK_UN);
    ::close(fd);
    // a file system without such locks tells nothing: taken as held
    return held || !free;
}
