#pragma once

#include <QDir>
#include <QFileInfo>
#include <QString>

#include <string>

// The path as the wide-character Win32 calls take it. Past the classic length
// limit it carries the "\\?\" prefix that lifts the limit, which needs an
// absolute path with backslashes only; the library does the same for its own
// file access.
inline std::wstring win32Path(const QString &path)
{
    QString native = QDir::toNativeSeparators(path);
    // 248 rather than MAX_PATH: a directory's path must leave room for a file name
    if (native.size() >= 248 && !native.startsWith(QLatin1String("\\\\?\\"))) {
        native = QDir::toNativeSeparators(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
        if (native.startsWith(QLatin1String("\\\\")))
            native = QLatin1String("\\\\?\\UNC\\") + native.mid(2);
        else
            native = QLatin1String("\\\\?\\") + native;
    }
    return native.toStdWString();
}
