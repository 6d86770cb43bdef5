#include "syncengine.h"

#include "dirwalk.h"
#include "filereader.h"
#include "pass_localtrash.h"
#include "pathrules.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QStringList>

#include <functional>

namespace {

// The names the engine keeps for itself at the top of the folder; a user's
// entry of the same name further down is ordinary content.
const QLatin1String topLevelEntries[] = {
    QLatin1String(".kumat-sync.json"),
    QLatin1String(".kumat-conflicts"),
    QLatin1String(".kumat-portal-silinenler"),
    QLatin1String(".kumat-sync.lock"),
};
// The ending of the names the engine gives its partial downloads, anywhere.
const QLatin1String partialSuffix(".kumat-part");

// What a safe write leaves beside its target while it writes, where the
// platform has no unnamed temporary files (Windows): "<target>.XXXXXX".
// After a crash it stays behind; it is the engine's, never the user's.
bool isSaveTemporaryTail(QStringView tail)
{
    constexpr qsizetype length = 7; // "." and six letters or digits
    if (tail.size() != length || tail.front() != QLatin1Char('.'))
        return false;
    for (const QChar c : tail.mid(1)) {
        if (c.unicode() >= 0x80 || !c.isLetterOrNumber())
            return false;
    }
    return true;
}

// The first component of a relative path.
QStringView topComponent(const QString &relativePath)
{
    const qsizetype slash = relativePath.indexOf(QLatin1Char('/'));
    return QStringView(relativePath).left(slash < 0 ? relativePath.size() : slash);
}

bool isStateFileTemporary(QStringView top, Qt::CaseSensitivity cs)
{
    return top.startsWith(topLevelEntries[0], cs) && isSaveTemporaryTail(top.mid(topLevelEntries[0].size()));
}

} // namespace

bool SyncEngine::isEngineEntry(const QString &relativePath)
{
    return isEngineEntry(relativePath, platformNamesIgnoreCase() ? Qt::CaseInsensitive : Qt::CaseSensitive);
}

bool SyncEngine::isEngineEntry(const QString &relativePath, Qt::CaseSensitivity cs)
{
    // An entry and everything below it: a server file in place of one of the
    // engine's folders, or a folder in place of its state file, would take
    // that place for good. Names that other writers leave beside these
    // entries belong here too, so that the scan, the intake and the watcher
    // keep agreeing about them.
    const QStringView top = topComponent(relativePath);
    for (const QLatin1String &name : topLevelEntries) {
        if (top.compare(name, cs) == 0)
            return true;
    }
    // the state file's own temporary
    if (isStateFileTemporary(top, cs))
        return true;
    for (qsizetype at = relativePath.indexOf(partialSuffix, 0, cs); at >= 0;
         at = relativePath.indexOf(partialSuffix, at + 1, cs)) {
        const qsizetype end = at + partialSuffix.size();
        if (end == relativePath.size() || relativePath.at(end) == QLatin1Char('/'))
            return true;
        const qsizetype slash = relativePath.indexOf(QLatin1Char('/'), end);
        const qsizetype componentEnd = slash < 0 ? relativePath.size() : slash;
        if (isSaveTemporaryTail(QStringView(relativePath).mid(end, componentEnd - end)))
            return true;
    }
    return false;
}

bool SyncEngine::isLeftoverOfWrite(const QString &relativePath)
{
    return isLeftoverOfWrite(relativePath, platformNamesIgnoreCase() ? Qt::CaseInsensitive : Qt::CaseSensitive);
}

bool SyncEngine::isLeftoverOfWrite(const QString &relativePath, Qt::CaseSensitivity cs)
{
    // The conflict copies and the archive hold what the engine kept for the
    // user; nothing in them is removed, whatever its name.
    const QStringView top = topComponent(relativePath);
    if (top.compare(topLevelEntries[1], cs) == 0 || top.compare(topLevelEntries[2], cs) == 0)
        return false;
    if (top.size() == relativePath.size() && isStateFileTemporary(top, cs))
        return true;
    const QStringView name = QStringView(relativePath).mid(relativePath.lastIndexOf(QLatin1Char('/')) + 1);
    if (name.endsWith(partialSuffix, cs))
        return true;
    constexpr qsizetype tail = 7;
    return name.size() > tail && name.chopped(tail).endsWith(partialSuffix, cs)
        && isSaveTemporaryTail(name.right(tail));
}

QMap<QString, SyncEngine::LocalFile> SyncEngine::scanLocal(QStringList *leftovers, ScanGaps *gaps) const
{
    QMap<QString, LocalFile> files;
    // The iterator returns syncFolder, "/" and the relative path, so cutting
    // the prefix gives what normalizedRelative computes, without its cost on
    // every file; anything else takes the general way.
    const QString prefix = syncFolder + QLatin1Char('/');
    const auto relativeOf = [&](const QString &path) {
        return path.startsWith(prefix) ? path.mid(prefix.size()) : normalizedRelative(path);
    };
    std::function<void(const QString &)> unreadable;
    if (gaps) {
        unreadable = [&](const QString &path) {
            if (path == syncFolder) {
                gaps->top = true;
                return;
            }
            const QString relative = relativeOf(path);
            if (!isEngineEntry(relative))
                gaps->folders.append(relative);
        };
    }
    DirWalk::list(
        syncFolder, DirWalk::Listing::Files,
        [&](const QString &path) {
            const QString relative = relativeOf(path);
            if (!isEngineEntry(relative)) {
                const auto file = files.insert(relative, localFileAt(path));
                if (gaps && file->hash.isEmpty())
                    gaps->files.append(relative);
            } else if (leftovers && isLeftoverOfWrite(relative)) {
                leftovers->append(relative);
            }
        },
        unreadable);
    if (leftovers) {
        // The walk leaves out hidden names, and on Linux the state file's
        // temporary is one; only file systems without unnamed temporary files
        // leave it, but a leftover there would stay for good.
        const QStringList names = QDir(syncFolder).entryList({topLevelEntries[0] + QLatin1String(".*")},
                                                             QDir::Files | QDir::Hidden | QDir::System);
        for (const QString &name : names) {
            if (isLeftoverOfWrite(name) && !leftovers->contains(name))
                leftovers->append(name);
        }
    }
    return files;
}

void SyncEngine::removeLeftoversOfWrites(const QStringList &relativePaths)
{
    // A download or a state write that a crash or a power cut cut short
    // leaves its file behind: it is never uploaded. No other engine writes
    // here (the folder is locked) and this pass has written nothing yet. The
    // state file's temporary is the engine's alone and goes; a name ending
    // in ".kumat-part" may also be one the user chose, so it goes to the
    // trash, where it can be restored, or stays where it is.
    if (!folderLock || !folderLock->isLocked())
        return;
    for (const QString &relative : relativePaths) {
        if (!folderStillSame())
            return;
        const QString path = absolute(relative);
        const QFileInfo info(path);
        if (info.isDir() && !info.isSymLink())
            continue;
        const bool ownTemporary = isStateFileTemporary(topComponent(relative),
                                                       platformNamesIgnoreCase() ? Qt::CaseInsensitive
                                                                                 : Qt::CaseSensitive);
        if (ownTemporary ? QFile::remove(path) : LocalTrash::moveToTrash(path)) {
            leftoversRefused.remove(relative);
            Q_EMIT log((ownTemporary ? QStringLiteral("Yarım kalmış bir yazmadan kalan geçici dosya silindi: ")
                                     : QStringLiteral("Yarım kalmış bir yazmadan kalan geçici dosya çöp kutusuna "
                                                      "taşındı: "))
                       + relative);
        } else if (!leftoversRefused.contains(relative)) {
            leftoversRefused.insert(relative);
            Q_EMIT log(QStringLiteral("Yarım kalmış bir yazmadan kalan geçici dosya silinemedi: ") + relative);
        }
    }
}

void SyncEngine::reportScanGaps(const ScanGaps &gaps)
{
    // Said once while it lasts: a pass every few minutes repeating it would
    // bury everything else the user is told.
    QSet<QString> now;
    for (const QString &folder : gaps.folders) {
        now.insert(folder);
        if (gapsReported.contains(folder))
            continue;
        Q_EMIT log(QStringLiteral("Klasör okunamadı; içindekiler silinmiş sayılmadı, okunabilene kadar dokunulmayacak: ")
                   + folder);
        Q_EMIT notification(QStringLiteral("Senkronizasyon uyarısı"),
                            QStringLiteral("Okunamayan klasör senkronize edilmiyor: ") + folder, 1);
    }
    for (const QString &file : gaps.files) {
        now.insert(file);
        // gone between the listing and the read: nothing to tell
        if (gapsReported.contains(file) || !QFileInfo::exists(absolute(file)))
            continue;
        Q_EMIT log(QStringLiteral("Dosya okunamadı (başka bir programda açık olabilir); sonraki denetimde yeniden "
                                  "denenecek: ")
                   + file);
        Q_EMIT notification(QStringLiteral("Senkronizasyon uyarısı"),
                            QStringLiteral("Okunamayan dosya bu denetimde atlandı: ") + file, 1);
    }
    gapsReported = now;
}

SyncEngine::LocalFile SyncEngine::localFileAt(const QString &absolutePath) const
{
    const FileContent content = readFileContent(absolutePath);
    LocalFile file;
    file.absolutePath = absolutePath;
    // what QFileInfo::fileName gives for a "/"-separated path, without its allocation
    file.name = absolutePath.mid(absolutePath.lastIndexOf(QLatin1Char('/')) + 1);
    file.hash = content.sha256;
    file.size = content.size;
    file.createdMs = content.createdMs;
    file.modifiedMs = content.modifiedMs;
    return file;
}

QString SyncEngine::hashFile(const QString &absolutePath) const
{
    return readFileContent(absolutePath).sha256;
}
