#pragma once

#include <QString>

// The one form in which a path in the sync folder is handed to the system,
// whatever the call (Qt, the C++ library, Win32). On Windows that is the long
// form ("\\?\C:\..." or "\\?\UNC\server\share\..."), which lifts the classic
// 260-character limit where the program declares itself long-path aware and
// where it does not; on Linux the path as it is.
QString longPath(const QString &path);

// The Windows form of `path`, a relative one taken from `currentDir`: always
// absolute, with backslashes only and no "." or ".." (the long form turns off
// the system's own cleaning). A path in that form already, or a device path
// ("\\.\"), is left as it is. Free of Win32, so that it can be tested anywhere.
QString windowsLongPath(const QString &path, const QString &currentDir);
