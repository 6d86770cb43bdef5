#include "syncengine.h"

#include "pathgate.h"
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
    // No file system takes a NUL in a name, and Qt hands such a path back
    // uncleaned, so "x\0/.." would look like a name inside the folder while
    // its clean form is the folder itself.
    if (p.contains(QChar::Null))
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
    QString target = QFileInfo(absolute(relativePath)).absoluteFilePath();
    // "a/../" keeps its slash there and would pass for a name below the folder
    while (target.endsWith(QLatin1Char('/')))
        target.chop(1);
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
    makeDirectoryInFolder(directory);

    const QString suffix = info.suffix();
    const QString extension = suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix;
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
    const QString name = info.completeBaseName() + QLatin1Char('-') + label + QLatin1Char('-') + stamp + extension;
    return QDir(directory).filePath(name);
}

PathGate::PathGate(const SyncEngine &engine, const QString &syncFolder)
    : engine(engine)
{
    const QString folderPath = QDir(syncFolder).absolutePath();
    // At the top of a file system the rule refuses everything; let it say so.
    if (folderPath.endsWith(QLatin1Char('/')))
        return;
    const QString candidate = folderPath + QLatin1Char('/');
    // The shortcut holds only if the engine would build the same absolute
    // paths; a probe settles that for whatever form syncFolder has.
    const QString probe = QStringLiteral("kumat-probe");
    if (QFileInfo(engine.absolute(probe)).absoluteFilePath() == candidate + probe)
        base = candidate;
    linkFree.insert(QString(), true);
}

bool PathGate::isPlain(const QString &relativePath) const
{
    if (base.isEmpty() || relativePath.isEmpty())
        return false;
    qsizetype componentStart = 0;
    const qsizetype n = relativePath.size();
    for (qsizetype i = 0; i <= n; ++i) {
        const QChar c = i < n ? relativePath.at(i) : QLatin1Char('/');
        if (c == QLatin1Char('\\') || c == QLatin1Char(':') || c == QChar::Null)
            return false;
        if (c != QLatin1Char('/'))
            continue;
        const qsizetype length = i - componentStart;
        if (length == 0)
            return false;
        if (relativePath.at(componentStart) == QLatin1Char('.')
            && (length == 1 || (length == 2 && relativePath.at(componentStart + 1) == QLatin1Char('.'))))
            return false;
        componentStart = i + 1;
    }
    return true;
}

bool PathGate::noLinkDownTo(const QString &relativeDir)
{
    const auto known = linkFree.constFind(relativeDir);
    if (known != linkFree.cend())
        return known.value();
    const qsizetype slash = relativeDir.lastIndexOf(QLatin1Char('/'));
    const QString parent = slash < 0 ? QString() : relativeDir.left(slash);
    // deepest first, as the rule walks; a verdict never depends on the order
    const bool free = !QFileInfo(base + relativeDir).isSymLink() && noLinkDownTo(parent);
    linkFree.insert(relativeDir, free);
    return free;
}

bool PathGate::isSafe(const QString &relativePath)
{
    if (!isPlain(relativePath))
        return engine.isSafeRelativePath(relativePath);
    // a plain path cleans to itself: relative, inside the folder, no colon
    if (!platformKeepsPathNames(relativePath.toStdU16String()))
        return false;
    const qsizetype slash = relativePath.lastIndexOf(QLatin1Char('/'));
    const QStringView dir = slash < 0 ? QStringView() : QStringView(relativePath).left(slash);
    // a snapshot lists a folder's items one after another
    if (!lastDir.isNull() && dir == lastDir)
        return lastDirFree;
    lastDir = dir.toString();
    if (lastDir.isNull())
        lastDir = QLatin1String("");
    lastDirFree = noLinkDownTo(lastDir);
    return lastDirFree;
}

QString PathGate::target(const QString &relativePath) const
{
    if (isPlain(relativePath))
        return base + relativePath;
    return QFileInfo(engine.absolute(relativePath)).absoluteFilePath();
}
