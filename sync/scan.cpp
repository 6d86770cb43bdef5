#include "syncengine.h"

#include "dirwalk.h"
#include "filereader.h"

#include <algorithm>

namespace {

bool matchesEngineEntry(const QString &relativePath, Qt::CaseSensitivity cs)
{
    // The first three live only at the top of the folder; a user's file of the
    // same name further down is ordinary content.
    return relativePath.compare(QLatin1String(".kumat-sync.json"), cs) == 0
        || relativePath.startsWith(QLatin1String(".kumat-conflicts/"), cs)
        || relativePath.startsWith(QLatin1String(".kumat-portal-silinenler/"), cs)
        || relativePath.endsWith(QLatin1String(".kumat-part"), cs);
}

} // namespace

bool SyncEngine::isEngineEntry(const QString &relativePath)
{
    return matchesEngineEntry(relativePath, Qt::CaseSensitive);
}

bool SyncEngine::isEngineEntryIgnoringCase(const QString &relativePath)
{
    // The entries are lower-case ASCII: for an ASCII path, comparing without
    // regard to ASCII case is the same as comparing its lower-cased copy, and
    // makes none. Any other path takes the full Unicode lower case.
    const bool ascii = std::all_of(relativePath.cbegin(), relativePath.cend(),
                                   [](QChar c) { return c.unicode() < 0x80; });
    if (!ascii)
        return isEngineEntry(relativePath.toLower());
    return matchesEngineEntry(relativePath, Qt::CaseInsensitive);
}

QMap<QString, SyncEngine::LocalFile> SyncEngine::scanLocal() const
{
    QMap<QString, LocalFile> files;
    // The iterator returns syncFolder, "/" and the relative path, so cutting
    // the prefix gives what normalizedRelative computes, without its cost on
    // every file; anything else takes the general way.
    const QString prefix = syncFolder + QLatin1Char('/');
    DirWalk::list(syncFolder, DirWalk::Listing::Files, [&](const QString &path) {
        const QString relative = path.startsWith(prefix) ? path.mid(prefix.size()) : normalizedRelative(path);
        if (!isEngineEntry(relative))
            files.insert(relative, localFileAt(path));
    });
    return files;
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
