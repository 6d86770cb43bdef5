#pragma once

#include <QString>

// The per-user entry that starts the application when the user logs on.
// A failure is reported by enable() so that the window can untick its box and
// say so: a box left ticked over a missing entry would promise a start at
// log-on that never comes.
namespace AutoStart {

// Where the entry lives for the current user.
QString entryPath();
// The executable the entry starts, read back from the entry itself; empty when
// there is no readable entry.
QString target();
// Makes the entry start `executable`. An entry that already does is left
// untouched (the check at start-up must not hold the window back); otherwise it
// is written and read back. True only when the entry is there and starts
// `executable`.
bool enable(const QString &executable);
// Removes the entry; a missing one is not an error.
void disable();

// Tests put the entry's folder elsewhere; an empty folder restores the user's own.
void setFolderForTesting(const QString &folder);

} // namespace AutoStart
