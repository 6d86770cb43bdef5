#include "folderwatcher.h"

#include <QFileSystemWatcher>

struct FolderWatcher::Platform
{
    QFileSystemWatcher watcher;
};

FolderWatcher::FolderWatcher(QObject *parent)
    : QObject(parent)
    , platform(std::make_unique<Platform>())
{
    connect(&platform->watcher, &QFileSystemWatcher::directoryChanged, this, &FolderWatcher::directoryChanged);
}

FolderWatcher::~FolderWatcher() = default;

void FolderWatcher::watch(const QStringList &dirs)
{
    clear();
    if (!dirs.isEmpty())
        platform->watcher.addPaths(dirs);
}

void FolderWatcher::clear()
{
    const QStringList watched = platform->watcher.directories();
    if (!watched.isEmpty())
        platform->watcher.removePaths(watched);
}

QStringList FolderWatcher::directories() const
{
    return platform->watcher.directories();
}
