#pragma once

#include "longpath.h"

#include <QString>

#include <string>

// The path as the wide-character Win32 calls take it: always the long form,
// the same one every other file operation of the program uses.
inline std::wstring win32Path(const QString &path)
{
    return longPath(path).toStdWString();
}
