#include "syncengine.h"

#include "apiclient.h"
#include "passcontext.h"

#include "pathrules.h"

#include <QDir>
#include <QFileInfo>

#include <utility>
#include <vector>

namespace {

// Whether the folder holds an entry at this relative path under exactly this
// spelling. Where names ignore letter case, QFileInfo finds "Rapor.docx" when
// the user renamed it to "rapor.docx"; only the directory's own listing tells
// the old spelling is gone.
bool listedUnderExactName(const QString &folder, const QString &relativePath)
{
    QString dir = folder;
    const QStringList names = relativePath.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &name : names) {
        // no name filter: a filter is a wildcard pattern, and "[a].txt" would
        // not find itself
        const QStringList entries =
            QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort);
        if (!entries.contains(name))
            return false;
        dir += QLatin1Char('/') + name;
    }
    return true;
}

bool hasTrashedAncestor(const QString &path, const QSet<QString> &trashedPaths)
{
    const QStringList segments = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString ancestor;
    for (int i = 0; i + 1 < segments.size(); ++i) {
        ancestor = i == 0 ? segments.at(0) : ancestor + QLatin1Char('/') + segments.at(i);
        if (trashedPaths.contains(ancestor))
            return true;
    }
    return false;
}

// The server still holds exactly what was recorded here: the same node, the
// same version and the content this device had.
bool isRecordedVersion(const SyncEngine::RemoteItem &item, qint64 id, const QJsonObject &record)
{
    const QString &sha256 = item.sha256;
    return id == PassValues::integer(record.value(QLatin1String("remote_id")))
        && item.version == PassValues::integer(record.value(QLatin1String("remote_version")))
        && !sha256.isEmpty()
        && PassValues::sameDigest(sha256, record.value(QLatin1String("local_hash")).toString());
}

// The server's last word on a node: gone already, not this user's to delete,
// or in a state it will not delete. Anything else may pass.
bool isFinalRefusal(int httpStatus)
{
    return httpStatus == 403 || httpStatus == 404 || httpStatus == 409 || httpStatus == 410;
}

} // namespace

void SyncEngine::trashLocalDeletions(PassContext &pass)
{
    // the scan's map belongs to this pass and stays as it is throughout
    PassValues::OrderedLookup<QMap<QString, LocalFile>, LocalFile> localLookup(pass.localFiles);
    std::vector<std::pair<QString, qint64>> deletions;
    for (auto it = pass.remoteItems.cbegin(); it != pass.remoteItems.cend(); ++it) {
        if (!running || folderLost || signInLost)
            return;
        const QString &path = it.key();
        // what the scan found is no local deletion; asked first, as it settles
        // nearly every entry without a look into the state
        if (localLookup.contains(path))
            continue;
        const SyncEngine::RemoteItem &item = it.value();
        if (item.folder)
            continue;

        const qint64 id = item.id;
        const QJsonObject record = state.value(path).toObject();
        const qint64 recordedId = PassValues::integer(record.value(QLatin1String("remote_id")));
        if (id < 1 || recordedId < 1)
            continue;
        // moved into the archive after the scan: the scan no longer tells
        // what is there, and the protected ones stay as they are
        if (PassValues::isAtOrBelow(path, pass.protectedPaths) || PassValues::isAtOrBelow(path, pass.portalDeletedPaths))
            continue;
        if (pass.trashedPaths.contains(path) || hasTrashedAncestor(path, pass.trashedPaths))
            continue;
        // a folder the scan could not list is no folder the user emptied
        if (PassValues::isAtOrBelow(path, pass.unseenPaths))
            continue;

        // The scan does not list everything that is there (hidden files, a
        // name that differs only in letter case, a file made after the scan):
        // a file that is on disk was not deleted by the user.
        // what is on disk below settles it, but only in the folder that was scanned
        if (!folderStillSame())
            return;
        const QFileInfo onDisk(absolute(path));
        const bool there = platformNamesIgnoreCase() ? listedUnderExactName(syncFolder, path)
                                                     : onDisk.exists() || onDisk.isSymLink();
        if (there) {
            Q_EMIT log(QStringLiteral("Yerel dosya hâlâ yerinde, sunucuda silinmedi: ") + path);
            continue;
        }

        // The user deleted the version this device knew. One that another
        // device saved since (or another node at this path) was never seen
        // here: it comes down as a new file instead of vanishing everywhere.
        if (!isRecordedVersion(item, id, record)) {
            Q_EMIT log(QStringLiteral("Yerelde silinen dosyanın kumatta daha yeni bir sürümü var, sunucuda silinmedi: ")
                       + path);
            pass.nextState.remove(path);
            continue;
        }

        deletions.push_back({path, id});
    }

    // Many deletions at once are more often a folder emptied by mistake, a
    // drive that lost its contents or a tool gone wrong than the user's
    // wish; above the guard's bound they wait for the user's answer.
    QStringList candidates;
    candidates.reserve(qsizetype(deletions.size()));
    for (const auto &deletion : deletions)
        candidates.append(deletion.first);
    const QSet<QString> allowed = allowedRemovals(ServerDeletion, candidates);
    for (const auto &[path, id] : deletions) {
        if (!allowed.contains(path)) {
            // kept as it is, record and all, until the user answers
            pass.trashedPaths.insert(path);
            continue;
        }
        if (!running || signInLost || !folderStillSame())
            return;
        if (api->deleteNode(id)) {
            ++pass.trashed;
            Q_EMIT log(QStringLiteral("Çöp kutusuna taşındı: ") + path);
            Q_EMIT notification(QStringLiteral("Dosya silindi"),
                                QStringLiteral("Yerel olarak silinen '") + path
                                    + QStringLiteral("' kumat çöp kutusuna taşındı."),
                                0);
        } else {
            const QString error = api->lastError();
            Q_EMIT log(QStringLiteral("Sunucu tarafından silinemedi: ") + path + QStringLiteral(" — ") + error);
            Q_EMIT notification(QStringLiteral("Silme hatası"), path + QStringLiteral(" — ") + error, 2);
            ++pass.errors;
            // A time-out, a cut connection, an expired sign-in or a server
            // fault says nothing about the file: the record stays, so the
            // next pass asks again instead of uploading what the user deleted.
            if (!isFinalRefusal(api->lastStatus())) {
                pass.trashedPaths.insert(path);
                continue;
            }
        }
        pass.trashedPaths.insert(path);
        pass.nextState.remove(path);
    }
}
