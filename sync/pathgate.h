#pragma once

#include "syncengine.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QSet>
#include <QString>

#include <string>

// The rule that keeps every path the engine touches inside the sync folder:
// SyncEngine::isSafeRelativePath asks a fresh gate, the snapshot intake keeps
// one for the whole snapshot. The rule asks the file system whether each
// directory above an item is a link; with thousands of items in a few hundred
// folders the same directories would be asked again and again. Within one
// intake (no event loop runs, so the pass itself changes nothing on disk
// meanwhile) a directory's verdict is taken once.
//
// Plain paths (no separators doubled or at the ends, no "." or ".."
// components, no backslash or colon) clean to themselves, so the target and the
// directories above it follow from the text; anything else is cleaned first.
class PathGate
{
public:
    PathGate(const SyncEngine &engine, const QString &syncFolder);

    bool isSafe(const QString &relativePath);
    // Whether the last isSafe refused only because this platform cannot hold
    // the path (a name it refuses or alters, a length, a depth): a path from
    // another system, not an attack, that no later pass can take either.
    bool lastRefusedByPlatform() const { return refusedByPlatform; }
    // Whether the last path isSafe was asked about is plain, as isPlain tells,
    // without reading it again.
    bool lastWasPlain() const { return lastPlain; }
    // The same as QFileInfo(engine.absolute(path)).absoluteFilePath().
    QString target(const QString &relativePath) const;
    // target() of a path known to be plain
    QString plainTarget(const QString &relativePath) const { return base + relativePath; }
    // A plain path is its own QDir::cleanPath.
    bool isPlain(const QString &relativePath) const;

    enum class Directory : char { Plain, Link, Missing };
    // what the gate found on disk so far, by directory relative to the folder
    using Verdicts = QHash<QString, Directory>;
    const Verdicts &verdicts() const { return directories; }
    // Whether the disk still gives each verdict, as a gate of this folder
    // found them for plain paths only.
    bool findsAgain(const Verdicts &earlier) const;

private:
    static Directory verdictOf(const QString &directory);

    bool isSafeInGeneral(const QString &relativePath);
    // No link from the folder down to this absolute directory at or below it.
    bool noLinkDownTo(const QString &directory);

    const SyncEngine &engine;
    QString folderPath;
    // folderPath and "/"
    QString root;
    std::u16string folderText;
    // root, or empty when the engine builds absolute paths another way and
    // every path takes the general way
    QString base;
    // verdicts by directory relative to the folder
    Verdicts directories;
    // the directory asked about last and its verdict; null before the first
    QString lastDir;
    bool lastDirFree = false;
    bool refusedByPlatform = false;
    bool lastPlain = false;
};

struct SyncEngine::KeptIntake
{
    QJsonObject snapshot;
    QString folder;
    PathGate::Verdicts verdicts;
    QMap<QString, RemoteItem> remoteItems;
    QSet<QString> targetKeys;
    QJsonArray deletionRecords;
};
