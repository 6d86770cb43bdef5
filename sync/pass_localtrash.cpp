#include "pass_localtrash.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

bool LocalTrash::moveToTrash(const QString &absolutePath)
{
    // Qt 6.4 on a desktop without a data folder (~/.local/share missing)
    // reports success and moves the file into a "files" folder under the
    // current directory. With the folder in place it finds the real trash.
    if (!keepsFilesAt(absolutePath))
        return false;

    const QString dataFolder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (!dataFolder.isEmpty())
        QDir().mkpath(dataFolder);

    QString trashPath;
    if (!QFile::moveToTrash(absolutePath, &trashPath))
        return false;
    if (!trashPath.isEmpty() && QFileInfo(trashPath).isAbsolute())
        return true;

    // Moved somewhere that is no trash: put it back where the user had it.
    if (!trashPath.isEmpty() && QFileInfo::exists(trashPath) && !QFileInfo::exists(absolutePath))
        QFile::rename(trashPath, absolutePath);
    return false;
}
