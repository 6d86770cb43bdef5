#include "syncengine.h"

#include "sha256.h"

#include <QDateTime>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

bool SyncEngine::isEngineEntry(const QString &relativePath)
{
    // The first three live only at the top of the folder; a user's file of the
    // same name further down is ordinary content.
    return relativePath == QLatin1String(".kumat-sync.json")
        || relativePath.startsWith(QLatin1String(".kumat-conflicts/"))
        || relativePath.startsWith(QLatin1String(".kumat-portal-silinenler/"))
        || relativePath.endsWith(QLatin1String(".kumat-part"));
}

SyncEngine::LocalFile SyncEngine::localFileAt(const QString &absolutePath) const
{
    const QFileInfo info(absolutePath);
    LocalFile file;
    file.absolutePath = absolutePath;
    file.name = info.fileName();
    file.hash = hashFile(absolutePath);
    file.size = info.size();
    // A file system without birth times reports an invalid time; 0 keeps the
    // value stable from pass to pass instead of depending on the time zone.
    const QDateTime born = info.fileTime(QFileDevice::FileBirthTime);
    file.createdMs = born.isValid() ? born.toMSecsSinceEpoch() : 0;
    const QDateTime modified = info.fileTime(QFileDevice::FileModificationTime);
    file.modifiedMs = modified.isValid() ? modified.toMSecsSinceEpoch() : 0;
    return file;
}

QMap<QString, SyncEngine::LocalFile> SyncEngine::scanLocal() const
{
    QMap<QString, LocalFile> files;
    QDirIterator it(syncFolder, QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = normalizedRelative(path);
        if (isEngineEntry(relative))
            continue;
        files.insert(relative, localFileAt(path));
    }
    return files;
}

QString SyncEngine::hashFile(const QString &absolutePath) const
{
    QFile file(absolutePath);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    // Empty when a read fails part-way: the caller gets a full digest or none.
    return Sha256::hexOfDevice(&file, 1024 * 1024);
}
