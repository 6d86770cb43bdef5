#include "longpath.h"

#include <QDir>

namespace {

bool isDriveLetter(QChar c)
{
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'));
}

QString backslashed(QString path)
{
    return path.replace(QLatin1Char('/'), QLatin1Char('\\'));
}

} // namespace

QString windowsLongPath(const QString &path, const QString &currentDir)
{
    QString p = path;
    p.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (p.startsWith(QLatin1String("//?/")) || p.startsWith(QLatin1String("//./")))
        return backslashed(p);

    if (p.startsWith(QLatin1String("//"))) {
        // a share: "\\server\share\x" becomes "\\?\UNC\server\share\x"
        QString rest = QDir::cleanPath(p.mid(2));
        while (rest.startsWith(QLatin1Char('/')))
            rest.remove(0, 1);
        return QStringLiteral("\\\\?\\UNC\\") + backslashed(rest);
    }
    const bool drive = p.size() >= 2 && isDriveLetter(p.at(0)) && p.at(1) == QLatin1Char(':');
    if (drive && p.size() >= 3 && p.at(2) == QLatin1Char('/')) {
        QString cleaned = QDir::cleanPath(p.mid(3));
        while (cleaned.startsWith(QLatin1Char('/')) || cleaned == QLatin1String(".."))
            cleaned = cleaned == QLatin1String("..") ? QString() : cleaned.mid(1);
        while (cleaned.startsWith(QLatin1String("../")))
            cleaned = cleaned.mid(3); // nothing lies above a drive's root
        if (cleaned == QLatin1String("."))
            cleaned.clear();
        return QStringLiteral("\\\\?\\") + p.at(0).toUpper() + QStringLiteral(":\\") + backslashed(cleaned);
    }

    // Anything else is taken from the current directory, as the system would:
    // "C:x" on the current drive, "\x" at the current drive's root, "x" below it.
    const QString current = QString(currentDir).replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (drive) {
        const bool sameDrive = current.startsWith(p.left(2), Qt::CaseInsensitive);
        return windowsLongPath((sameDrive ? current : p.left(2)) + QLatin1Char('/') + p.mid(2), currentDir);
    }
    if (p.startsWith(QLatin1Char('/'))) {
        if (current.startsWith(QLatin1String("//"))) {
            // the root of a share is its "\\server\share"
            const qsizetype server = current.indexOf(QLatin1Char('/'), 2);
            const qsizetype share = server < 0 ? -1 : current.indexOf(QLatin1Char('/'), server + 1);
            return windowsLongPath((share < 0 ? current : current.left(share)) + p, currentDir);
        }
        return windowsLongPath(current.left(2) + p, currentDir);
    }
    return windowsLongPath(current + QLatin1Char('/') + p, currentDir);
}

QString longPath(const QString &path)
{
    return windowsLongPath(path, QDir::currentPath());
}
