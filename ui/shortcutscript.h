#pragma once

#include <string>

// The PowerShell command that writes the autostart shortcut through the
// WScript.Shell object. Without Qt, so that it can be built and tried on its own.
// Both paths go between single quotes; a single quote inside a path is doubled,
// PowerShell's own escape, so that a path holding one can neither break nor
// extend the command.
std::wstring shortcutScript(const std::wstring &shortcutPath, const std::wstring &targetPath);
