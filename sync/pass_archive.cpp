#include "syncengine.h"

#include "passcontext.h"
#include "pathrules.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace {

void dropRecordsAtOrBelow(QJsonObject &records, const QString &path)
{
    records.remove(path);
    const QString prefix = path + QLatin1Char('/');
    const QStringList keys = records.keys();
    for (const QString &key : keys) {
        if (key.startsWith(prefix))
            records.remove(key);
    }
}

// Every path the server lists live, taken in at intake or refused there,
// sorted and keyed as the folder compares names, so that where letter case is
// ignored "D/b.txt" also answers for "d". The folders above them are not
// spelt out: a refused path may be tens of thousands of levels deep.
QStringList listedPaths(const PassContext &pass)
{
    const bool ignoreCase = platformNamesIgnoreCase();
    QStringList listed;
    listed.reserve(pass.remoteItems.size() + pass.rejectedPaths.size());
    for (auto it = pass.remoteItems.cbegin(); it != pass.remoteItems.cend(); ++it)
        listed.append(ignoreCase ? PassValues::nameCaseKey(it.key()) : it.key());
    for (const QString &path : pass.rejectedPaths)
        listed.append(ignoreCase ? PassValues::nameCaseKey(path) : path);
    std::sort(listed.begin(), listed.end());
    return listed;
}

// Whether the server lists the path itself or anything below it. Everything
// below "d" sorts together, from the first key not below "d/".
bool listsAtOrBelow(const QStringList &listed, const QString &path)
{
    if (std::binary_search(listed.cbegin(), listed.cend(), path))
        return true;
    const QString prefix = path + QLatin1Char('/');
    const auto below = std::lower_bound(listed.cbegin(), listed.cend(), prefix);
    return below != listed.cend() && below->startsWith(prefix);
}

} // namespace

void SyncEngine::archivePortalDeletions(PassContext &pass)
{
    // Most passes bring no deletion record; the lookups below are not built
    // for nothing.
    if (pass.deletionRecords.isEmpty())
        return;

    // Sorted by UTF-16 code units, so an id shared by two records always
    // resolves to the same (smaller) path.
    QStringList stateKeys = state.keys();
    std::sort(stateKeys.begin(), stateKeys.end());

    // what intake refused (a letter-case twin, say) is still live on the server
    QSet<qint64> liveIds = pass.rejectedIds;
    for (const SyncEngine::RemoteItem &item : std::as_const(pass.remoteItems))
        liveIds.insert(item.id);
    const QStringList listed = listedPaths(pass);
    const bool ignoreCase = platformNamesIgnoreCase();

    for (const QJsonValue &value : std::as_const(pass.deletionRecords)) {
        const QJsonObject record = value.toObject();
        qint64 id = PassValues::integer(record.value(QLatin1String("id")));
        if (id < 1)
            id = PassValues::integer(record.value(QLatin1String("node_id")));
        QString path = PassValues::path(record.value(QLatin1String("path")));

        if (path.isEmpty() && id >= 1) {
            for (const QString &key : std::as_const(stateKeys)) {
                if (PassValues::integer(state.value(key).toObject().value(QLatin1String("remote_id"))) == id) {
                    path = key;
                    break;
                }
            }
        }

        // Only what this engine synchronised may be moved away: a record that
        // cannot be tied to the state is someone else's business.
        bool recognised = state.contains(path);
        if (!recognised && !path.isEmpty()) {
            // A folder has no record of its own. Its deletion record stays in
            // the snapshot after the folder is made again at the same path;
            // only a folder that lost a file this engine synchronised is the
            // deleted one, else every pass would archive the new folder anew.
            const QString prefix = path + QLatin1Char('/');
            recognised = std::any_of(stateKeys.cbegin(), stateKeys.cend(), [&](const QString &key) {
                if (!key.startsWith(prefix))
                    return false;
                const qint64 recorded = PassValues::integer(state.value(key).toObject().value(QLatin1String("remote_id")));
                return recorded >= 1 && !liveIds.contains(recorded);
            });
        }
        if (!recognised || !isSafeRelativePath(path)) {
            Q_EMIT log(QStringLiteral("Doğrulanamayan portal silme kaydı atlandı: ") + path);
            continue;
        }
        // What the scan could not read may hold an edit made here since; it
        // stays where it is until it can be read (reported by the scan), and
        // so does a folder with such an entry in it, which would go as a whole.
        if (PassValues::isAtOrBelow(path, pass.unseenPaths) || PassValues::holdsAny(path, pass.unseenPaths))
            continue;

        // Deleting a folder takes everything below it along, so a folder the
        // server lists again, or anything live below it, was made after the
        // deletion: its files and the user's unsent work in it stay. That
        // holds for what intake refused too, and for a spelling the folder
        // takes for the same entry.
        if (!state.contains(path) && listsAtOrBelow(listed, ignoreCase ? PassValues::nameCaseKey(path) : path)) {
            Q_EMIT log(QStringLiteral("Klasör kumatta yeniden oluşturulmuş, eski portal silme kaydı atlandı: ") + path);
            continue;
        }
        // The path may since belong to another server node.
        const qint64 recordedId = PassValues::integer(state.value(path).toObject().value(QLatin1String("remote_id")));
        if (recordedId >= 1 && id >= 1 && recordedId != id) {
            Q_EMIT log(QStringLiteral("Kimliği uyuşmayan portal silme kaydı atlandı: ") + path);
            continue;
        }
        // The node this file was synchronised with is still listed: a record
        // without an id, left over after the file was made again, must not
        // archive it pass after pass.
        if (recordedId >= 1 && liveIds.contains(recordedId)) {
            Q_EMIT log(QStringLiteral("Doğrulanamayan portal silme kaydı atlandı: ") + path);
            continue;
        }

        // A file with the very content recorded here, listed live at its
        // path, was made again after the deletion (by a device that still
        // had it): moving it away would leave this folder without a file the
        // server holds.
        const auto live = pass.remoteItems.constFind(path);
        if (live != pass.remoteItems.cend()
            && PassValues::sameDigest(live->sha256,
                                      state.value(path).toObject().value(QLatin1String("local_hash")).toString())) {
            Q_EMIT log(QStringLiteral("Dosya kumatta aynı içerikle yeniden oluşturulmuş, eski portal silme kaydı "
                                      "atlandı: ")
                       + path);
            continue;
        }

        if (!folderStillSame())
            return;
        pass.portalDeletedPaths.insert(path);

        const QString source = absolute(path);
        const QFileInfo sourceInfo(source);
        if (sourceInfo.exists() || sourceInfo.isSymLink()) {
            pass.localTreeTouched = true;
            const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
            const QString archiveDir = absolute(QStringLiteral(".kumat-portal-silinenler/") + stamp);
            const QString target = QDir(archiveDir).filePath(QDir::toNativeSeparators(path));
            const QFileInfo targetInfo(target);
            // A rename onto an existing entry could replace it; an earlier
            // archive of the same path in the same millisecond must survive.
            const bool moved = makeDirectoryInFolder(targetInfo.absolutePath()) && !targetInfo.exists()
                && !targetInfo.isSymLink() && QDir().rename(source, target);
            if (!moved) {
                Q_EMIT log(QStringLiteral("Portalda silinen öğe güvenli arşive taşınamadı: ") + path);
                Q_EMIT notification(QStringLiteral("Senkronizasyon uyarısı"),
                                    QStringLiteral("Portalda silinen öğe yerelde korunamadı; işlem durduruldu: ") + path,
                                    2);
                pass.portalDeletedPaths.remove(path);
                pass.protectedPaths.insert(path);
                ++pass.errors;
                continue;
            }
            ++pass.archived;
            Q_EMIT log(QStringLiteral("Portalda silinen öğe yerel arşive taşındı: ") + target);
        }

        dropRecordsAtOrBelow(pass.nextState, path);
    }
}
