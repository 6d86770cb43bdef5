#pragma once

#include <QString>

// The XDG autostart entry's text, apart so that it can be checked without
// touching the user's autostart folder.
namespace AutoStart {

// One argument of an Exec line, quoted and escaped for the Desktop Entry format.
QString desktopExecArgument(const QString &argument);
QString desktopEntry(const QString &executable);

} // namespace AutoStart
