#pragma once

#include <QString>
#include <QtGlobal>

// Which directory a path names right now, as the file system tells its
// directories apart (device and inode, or volume serial and file index). Two
// directories that merely share a path (the folder moved away and made again,
// another drive mounted at its place) have different identities.
struct FolderIdentity
{
    quint64 volume = 0;
    quint64 index = 0;
    // false when the path names no directory that could be asked
    bool valid = false;

    // The directory at `path` now, following links as opening it would.
    static FolderIdentity of(const QString &path);

    // Only two valid identities can be the same directory.
    friend bool operator==(const FolderIdentity &a, const FolderIdentity &b)
    {
        return a.valid && b.valid && a.volume == b.volume && a.index == b.index;
    }
    friend bool operator!=(const FolderIdentity &a, const FolderIdentity &b) { return !(a == b); }
};
