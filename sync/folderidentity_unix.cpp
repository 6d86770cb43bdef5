#include "folderidentity.h"

#include <QFile>

#include <sys/stat.h>

FolderIdentity FolderIdentity::of(const QString &path)
{
    FolderIdentity identity;
    struct stat info;
    if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISDIR(info.st_mode))
        return identity;
    identity.volume = quint64(info.st_dev);
    identity.index = quint64(info.st_ino);
    identity.valid = true;
    return identity;
}
