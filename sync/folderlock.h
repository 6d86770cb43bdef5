#pragma once

#include <QString>

namespace FolderLock {

// Whether a running program holds the lock file at this path. A lock file
// outlives a program that was killed or crashed, and the process id in it may
// since belong to another program; what a running holder keeps on the file
// itself (a lock of the file system on Linux, a handle that refuses deletion
// on Windows) ends with the holder, whatever the file says.
bool heldByRunningProgram(const QString &lockPath);

} // namespace FolderLock
