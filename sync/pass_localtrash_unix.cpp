#include "pass_localtrash.h"

#include <QDir>
#include <QStandardPaths>

bool LocalTrash::keepsFilesAt(const QString &absolutePath)
{
    Q_UNUSED(absolutePath);
    // Qt 6.4 falls back to the home trash, and when that cannot be made
    // (no ~/.local/share, say) it reports success after moving the file into
    // "files" under the current directory. With the home trash in place it
    // always finds a real one; without it the trash refuses.
    const QString dataFolder = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (dataFolder.isEmpty())
        return false;
    const QDir trash(QDir(dataFolder).filePath(QStringLiteral("Trash")));
    return QDir().mkpath(trash.filePath(QStringLiteral("files"))) && QDir().mkpath(trash.filePath(QStringLiteral("info")));
}
