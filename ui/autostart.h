#pragma once

#include <QString>

// The per-user entry that starts the application when the user logs on.
// Neither operation reports failure to the user: a missing entry only means
// that the program is not started automatically.
namespace AutoStart {

// Where the entry lives for the current user.
QString entryPath();
// Creates or overwrites the entry so that it starts `executable`.
bool enable(const QString &executable);
// Removes the entry; a missing one is not an error.
void disable();

} // namespace AutoStart
