#include "syncengine.h"

#include "pathrules.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

QString SyncEngine::normalizedRelative(const QString &absolutePath) const
{
    return QDir::fromNativeSeparators(QDir(syncFolder).relativeFilePath(absolutePath));
}

QString SyncEngine::absolute(const QString &relativePath) const
{
    return QDir(syncFolder).filePath(QDir::toNativeSeparators(relativePath));
}

bool SyncEngine::isSafeRelativePath(const QString &relativePath) const
{
    // Server paths and keys read back from the state file are untrusted; this
    // is the one gate before anything is created, written, moved or deleted.
    // A backslash counts as a separator on every build, so "..\x" is caught
    // even where the native separator is "/".
    QString p = QDir::fromNativeSeparators(relativePath);
    p.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (p.isEmpty() || p == QLatin1String("."))
        return false;
    if (!QDir::isRelativePath(p))
        return false;

    const QString c = QDir::cleanPath(p);
    if (c == QLatin1String("..") || c.startsWith(QLatin1String("../"))
        || c.contains(QLatin1String("/../")))
        return false;
    // drive letters ("C:x") and alternate data streams ("a.txt:s")
    if (c.contains(QLatin1Char(':')))
        return false;
    // names the platform would store under another name or hand to a device
    if (!platformKeepsPathNames(c.toStdU16String()))
        return false;

    const QDir folder(syncFolder);
    const QString folderPath = folder.absolutePath();
    const QString root = folderPath + QLatin1Char('/');
    // Judge the place the engine will really touch: where a backslash is an
    // ordinary name character, "x\/.." cleans to "x" above yet names the
    // folder itself on disk.
    const QString target = QFileInfo(absolute(relativePath)).absoluteFilePath();
    if (!target.startsWith(root, Qt::CaseInsensitive))
        return false;

    // A linked directory on the way could lead anywhere, even when it points
    // back inside today. The target itself may be a link: it is replaced, not
    // followed, by the engine's writes.
    QString dir = QFileInfo(target).absolutePath();
    while (dir.startsWith(folderPath, Qt::CaseInsensitive)) {
        if (dir == folderPath)
            return true;
        const QFileInfo info(dir);
        if (info.isSymLink())
            return false;
        const QString parent = info.absolutePath();
        if (parent == dir)
            return true;
        dir = parent;
    }
    return true;
}

QString SyncEngine::conflictPath(const QString &relativePath, const QString &label) const
{
    const QFileInfo info(relativePath);
    // A top-level file gives "." as its directory; the file system resolves
    // that to the conflict folder itself.
    const QString directory = absolute(QStringLiteral(".kumat-conflicts/") + info.path());
    // Failure shows up in the caller's move or write into the directory.
    QDir().mkpath(directory);

    const QString suffix = info.suffix();
    const QString extension = suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix;
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
    const QString name = info.completeBaseName() + QLatin1Char('-') + label + QLatin1Char('-') + stamp + extension;
    return QDir(directory).filePath(name);
}
