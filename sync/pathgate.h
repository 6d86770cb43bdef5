#pragma once

#include "syncengine.h"

#include <QHash>
#include <QString>

// isSafeRelativePath for a whole snapshot at once. The rule walks every
// directory above an item and asks the file system whether it is a link; with
// thousands of items in a few hundred folders the same directories are asked
// again and again. Within one intake (no event loop runs, so the pass itself
// changes nothing on disk meanwhile) a directory's verdict is taken once.
//
// Plain paths (no separators doubled or at the ends, no "." or ".."
// components, no backslash or colon) clean to themselves, so the target and the
// directories above it follow from the text; anything else goes through the
// engine's own rule unchanged.
class PathGate
{
public:
    PathGate(const SyncEngine &engine, const QString &syncFolder);

    // The same answer as SyncEngine::isSafeRelativePath.
    bool isSafe(const QString &relativePath);
    // The same as QFileInfo(engine.absolute(path)).absoluteFilePath().
    QString target(const QString &relativePath) const;
    // A plain path is its own QDir::cleanPath.
    bool isPlain(const QString &relativePath) const;

private:
    // No link from the folder down to this directory (relative, "" for the folder).
    bool noLinkDownTo(const QString &relativeDir);

    const SyncEngine &engine;
    // the folder's absolute path and "/"; empty when every path takes the rule
    QString base;
    QHash<QString, bool> linkFree;
    // the directory asked about last and its verdict; null before the first
    QString lastDir;
    bool lastDirFree = false;
};
