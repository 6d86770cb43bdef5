#include "syncengine.h"

#include <QDateTime>
#include <QFileInfo>

SyncEngine::LocalFile SyncEngine::localFileAt(const QString &absolutePath) const
{
    const QFileInfo info(absolutePath);
    LocalFile file;
    file.absolutePath = absolutePath;
    file.name = info.fileName();
    file.hash = hashFile(absolutePath);
    file.size = info.size();
    // A time the file system does not keep comes back invalid; 0 keeps the
    // value stable from pass to pass instead of depending on the time zone.
    const QDateTime born = info.fileTime(QFileDevice::FileBirthTime);
    file.createdMs = born.isValid() ? born.toMSecsSinceEpoch() : 0;
    const QDateTime modified = info.fileTime(QFileDevice::FileModificationTime);
    file.modifiedMs = modified.isValid() ? modified.toMSecsSinceEpoch() : 0;
    return file;
}
