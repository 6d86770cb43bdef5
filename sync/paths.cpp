#include "syncengine.h"

#include "dirwalk.h"
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
    // "/" throughout, as the folder walk gives paths: Windows takes either
    // separator, and a path of mixed separators names its file differently
    // from the one the scan lists
    return QDir(syncFolder).filePath(QDir::fromNativeSeparators(relativePath));
}

bool SyncEngine::isSafeRelativePath(const QString &relativePath) const
{
    return PathGate(*this, syncFolder).isSafe(relativePath);
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

namespace {

// Windows opens no longer path, whatever its form: an item beyond it could only
// ever be made part of the way down.
constexpr qsizetype longestPath = 32767;

// the text itself, not a copy: the intake asks about every item
std::u16string_view utf16View(QStringView text)
{
    return std::u16string_view(text.utf16(), std::size_t(text.size()));
}

} // namespace

PathGate::PathGate(const SyncEngine &engine, const QString &syncFolder)
    : engine(engine)
    , folderPath(QDir(syncFolder).absolutePath())
    , root(folderPath + QLatin1Char('/'))
    , folderText(folderPath.toStdU16String())
{
    // At the top of a file system root ends in two slashes and no target
    // begins with it: every path is refused, as it should be.
    if (folderPath.endsWith(QLatin1Char('/')))
        return;
    // The shortcut holds only if the engine would build the same absolute
    // paths; a probe settles that for whatever form syncFolder has.
    const QString probe = QStringLiteral("kumat-probe");
    if (QFileInfo(engine.absolute(probe)).absoluteFilePath() == root + probe)
        base = root;
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

bool PathGate::noLinkDownTo(const QString &directory)
{
    // From the folder down, one directory at a time, without recursion: the
    // path may be as deep as the server likes. Below a directory that does not
    // exist nothing exists, let alone a link, so the walk stops there and the
    // cache holds the directories that exist plus one more per path.
    const qsizetype start = root.size();
    if (directory.size() < start)
        return true; // the folder itself
    // a folder met before, its items listed apart from each other
    const auto seen = directories.constFind(directory.mid(start));
    if (seen != directories.cend())
        return seen.value() != Directory::Link;
    qsizetype end = directory.indexOf(QLatin1Char('/'), start);
    while (true) {
        const qsizetype stop = end < 0 ? directory.size() : end;
        const QString relative = directory.mid(start, stop - start);
        auto known = directories.constFind(relative);
        if (known == directories.cend()) {
            known = directories.insert(relative, verdictOf(directory.left(stop)));
        }
        if (known.value() == Directory::Link)
            return false;
        if (known.value() == Directory::Missing || end < 0)
            return true;
        end = directory.indexOf(QLatin1Char('/'), end + 1);
    }
}

PathGate::Directory PathGate::verdictOf(const QString &directory)
{
    return DirWalk::isLink(directory) ? Directory::Link
        : QFileInfo::exists(directory) ? Directory::Plain
                                       : Directory::Missing;
}

bool PathGate::findsAgain(const Verdicts &earlier) const
{
    if (base.isEmpty())
        return false;
    for (auto it = earlier.cbegin(); it != earlier.cend(); ++it) {
        if (verdictOf(base + it.key()) != it.value())
            return false;
    }
    return true;
}

bool PathGate::isSafe(const QString &relativePath)
{
    refusedByPlatform = false;
    lastPlain = false;
    if (relativePath.size() > longestPath)
        return !(refusedByPlatform = true);
    lastPlain = isPlain(relativePath);
    if (!lastPlain)
        return isSafeInGeneral(relativePath);
    // a plain path cleans to itself: relative, inside the folder, no colon
    if (!platformCanHoldPath(folderText, utf16View(relativePath)))
        return !(refusedByPlatform = true);
    const qsizetype slash = relativePath.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return true; // directly in the folder
    const QStringView dir = QStringView(relativePath).left(slash);
    // a snapshot lists a folder's items one after another
    if (!lastDir.isNull() && dir == lastDir)
        return lastDirFree;
    lastDir = dir.toString();
    lastDirFree = noLinkDownTo(base + lastDir);
    return lastDirFree;
}

bool PathGate::isSafeInGeneral(const QString &relativePath)
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
    // names the platform would store under another name, hand to a device, or
    // could not hold at all
    if (!platformCanHoldPath(folderText, utf16View(c)))
        return !(refusedByPlatform = true);

    // Judge the place the engine will really touch: where a backslash is an
    // ordinary name character, "x\/.." cleans to "x" above yet names the
    // folder itself on disk.
    QString target = QFileInfo(engine.absolute(relativePath)).absoluteFilePath();
    // "a/../" keeps its slash there and would pass for a name below the folder
    while (target.endsWith(QLatin1Char('/')))
        target.chop(1);
    if (!target.startsWith(root, Qt::CaseInsensitive) || target.size() > longestPath)
        return false;

    // A linked directory on the way could lead anywhere, even when it points
    // back inside today. The target itself may be a link: it is replaced, not
    // followed, by the engine's writes.
    return noLinkDownTo(QFileInfo(target).absolutePath());
}

QString PathGate::target(const QString &relativePath) const
{
    if (isPlain(relativePath))
        return base + relativePath;
    return QFileInfo(engine.absolute(relativePath)).absoluteFilePath();
}
