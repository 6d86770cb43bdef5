#include "pass_localtrash.h"

#include <QFile>
#include <QFileInfo>

bool LocalTrash::moveToTrash(const QString &absolutePath)
{
    if (!keepsFilesAt(absolutePath))
        return false;

    QString trashPath;
    if (!QFile::moveToTrash(absolutePath, &trashPath))
        return false;
    if (!trashPath.isEmpty() && QFileInfo(trashPath).isAbsolute())
        return true;

    // Moved somewhere that is no trash (the fault of Qt 6.4 that the check
    // above guards against): put it back where the user had it.
    if (!trashPath.isEmpty() && QFileInfo::exists(trashPath) && !QFileInfo::exists(absolutePath))
        QFile::rename(trashPath, absolutePath);
    return false;
}
