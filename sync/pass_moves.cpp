#include "syncengine.h"

#include "dirwalk.h"
#include "passcontext.h"
#include "pathrules.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>

#include <algorithm>

namespace {

// The name a folder really holds for `name`, found without regard to case;
// empty when there is none.
QString storedName(const QString &dir, const QString &name)
{
    const QStringList entries =
        QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort);
    for (const QString &entry : entries) {
        if (PassValues::nameCaseKey(entry) == PassValues::nameCaseKey(name))
            return entry;
    }
    return QString();
}

// Renames one entry to another spelling of its name through a temporary
// name: where letter case is ignored, a direct rename finds its target
// already there (it is the entry itself).
bool respell(const QString &dir, const QString &from, const QString &to)
{
    const QString temporary = to + QStringLiteral(".kumat-move");
    QDir folder(dir);
    if (folder.exists(temporary) || !folder.rename(from, temporary))
        return false;
    if (folder.rename(temporary, to))
        return true;
    folder.rename(temporary, from);
    return false;
}

// Everything keyed below `from`, keyed again below `to`.
template<typename Map>
void rekeyBelow(Map &map, const QString &from, const QString &to)
{
    const QString prefix = from + QLatin1Char('/');
    QList<QString> keys;
    for (auto it = map.lowerBound(prefix); it != map.end() && it.key().startsWith(prefix); ++it)
        keys.append(it.key());
    for (const QString &key : std::as_const(keys))
        map.insert(to + key.mid(from.size()), map.take(key));
}

// The folders that may have moved when a file went from `from` to `to`: for
// "Docs/alt/x.txt" listed as "Belgeler/alt/x.txt", "Docs/alt" or "Docs",
// paired with where each would now be.
QList<QPair<QString, QString>> folderMoveCandidates(const QString &from, const QString &to)
{
    const QStringList a = from.split(QLatin1Char('/'));
    const QStringList b = to.split(QLatin1Char('/'));
    QList<QPair<QString, QString>> pairs;
    for (qsizetype common = 1; common < a.size() && common < b.size(); ++common) {
        if (a.at(a.size() - common) != b.at(b.size() - common))
            break;
        pairs.append({a.mid(0, a.size() - common).join(QLatin1Char('/')),
                      b.mid(0, b.size() - common).join(QLatin1Char('/'))});
    }
    return pairs;
}

} // namespace

bool SyncEngine::folderMovedOnServer(const PassContext &pass, const QStringList &recordedKeys, const QString &from,
                                     const QString &to) const
{
    const QString prefix = from + QLatin1Char('/');
    if (from == to || to.startsWith(prefix) || from.startsWith(to + QLatin1Char('/')))
        return false;
    const auto target = pass.remoteItems.constFind(to);
    if (target == pass.remoteItems.cend() || !target->folder)
        return false;
    // the server lists nothing under the old name any more, refused or not
    const auto left = pass.remoteItems.lowerBound(from);
    if (left != pass.remoteItems.cend() && (left.key() == from || left.key().startsWith(prefix)))
        return false;
    if (PassValues::holdsAny(from, pass.rejectedPaths) || PassValues::holdsAny(from, pass.unseenPaths)
        || PassValues::holdsAny(to, pass.unseenPaths))
        return false;
    // Every file synchronised in it was seen here and is listed, as the same
    // node, at the same place in the new folder: then nothing in it stays
    // behind on the server, and what was made here since goes along.
    auto key = std::lower_bound(recordedKeys.cbegin(), recordedKeys.cend(), prefix);
    if (key == recordedKeys.cend() || !key->startsWith(prefix))
        return false;
    for (; key != recordedKeys.cend() && key->startsWith(prefix); ++key) {
        const qint64 id = PassValues::integer(state.value(*key).toObject().value(QLatin1String("remote_id")));
        const auto moved = pass.remoteItems.constFind(to + key->mid(from.size()));
        if (id < 1 || moved == pass.remoteItems.cend() || moved->id != id
            || !pass.localFiles.contains(*key))
            return false;
    }
    const QFileInfo local(absolute(from));
    return local.isDir() && !local.isSymLink();
}

void SyncEngine::followRemoteFolderMoves(PassContext &pass, const QHash<qint64, QString> &recordedPath,
                                         const QSet<qint64> &twice)
{
    QList<QPair<QString, QString>> candidates;
    QSet<QPair<QString, QString>> seen;
    for (auto it = pass.remoteItems.cbegin(); it != pass.remoteItems.cend(); ++it) {
        const qint64 id = it->id;
        if (id < 1 || twice.contains(id))
            continue;
        const QString from = recordedPath.value(id);
        if (from.isEmpty() || from == it.key())
            continue;
        for (const auto &pair : folderMoveCandidates(from, it.key())) {
            if (!seen.contains(pair)) {
                seen.insert(pair);
                candidates.append(pair);
            }
        }
    }
    if (candidates.isEmpty())
        return;
    // the outermost folder first: what moved with it needs no move of its own
    std::sort(candidates.begin(), candidates.end(),
              [](const auto &a, const auto &b) { return a.first.size() < b.first.size(); });
    QStringList recordedKeys = state.keys();
    for (const auto &[from, to] : std::as_const(candidates)) {
        if (folderLost)
            return;
        if (!folderMovedOnServer(pass, recordedKeys, from, to))
            continue;
        // where letter case is ignored, another spelling of the same folder
        // is renamed in place, and what lies in it is known by the new one
        pass.localTreeTouched = true;
        if (!moveLocalEntry(from, to)) {
            // each file is then tried on its own
            Q_EMIT log(QStringLiteral("Kumatta taşınan klasör yerelde bütün olarak taşınamadı: ") + from);
            continue;
        }
        Q_EMIT log(QStringLiteral("Kumatta taşınan klasör yerelde de taşındı: ") + from + QStringLiteral(" → ") + to);
        for (const QString &key : std::as_const(recordedKeys)) {
            if (!key.startsWith(from + QLatin1Char('/')))
                continue;
            const QString moved = to + key.mid(from.size());
            const QJsonValue record = state.take(key);
            state.insert(moved, record);
            pass.nextState.remove(key);
            pass.nextState.insert(moved, record);
        }
        rekeyBelow(pass.localFiles, from, to);
        for (auto it = pass.localFiles.lowerBound(to + QLatin1Char('/'));
             it != pass.localFiles.end() && it.key().startsWith(to + QLatin1Char('/')); ++it)
            it->absolutePath = syncFolder + QLatin1Char('/') + it.key();
        recordedKeys = state.keys();
    }
}

bool SyncEngine::moveLocalEntry(const QString &from, const QString &to)
{
    if (!folderStillSame())
        return false;
    if (platformNamesIgnoreCase() && PassValues::nameCaseKey(from) == PassValues::nameCaseKey(to)) {
        // Another spelling of the same entry: each component that the folder
        // holds under another letter case is renamed in place, top down, so
        // that a folder renamed for an earlier file is left as it is.
        QString dir = syncFolder;
        const QStringList parts = to.split(QLatin1Char('/'));
        for (const QString &part : parts) {
            const QString stored = storedName(dir, part);
            if (stored.isEmpty())
                return false;
            if (stored != part && !respell(dir, stored, part))
                return false;
            dir += QLatin1Char('/') + part;
        }
        return true;
    }
    const QString target = absolute(to);
    const QFileInfo existing(target);
    if (existing.exists() || existing.isSymLink())
        return false;
    if (!makeDirectoryInFolder(existing.absolutePath()))
        return false;
    return QDir().rename(absolute(from), target);
}

void SyncEngine::followRemoteMoves(PassContext &pass)
{
    if (state.isEmpty())
        return;
    // a copy that shares the kept one: the moves below change the state
    const StateIndex index = indexOfState();
    // a node recorded at two paths says nothing about where it went
    const QHash<qint64, QString> &recordedPath = index.nodePaths;
    const QSet<qint64> &twice = index.nodesTwice;
    // A folder moved there moves here as a whole, taking along what was made
    // in it since the last pass; the files of any other move follow one by one.
    followRemoteFolderMoves(pass, recordedPath, twice);

    for (auto it = pass.remoteItems.cbegin(); it != pass.remoteItems.cend(); ++it) {
        if (folderLost)
            return;
        const QString &to = it.key();
        if (it->folder)
            continue;
        const qint64 id = it->id;
        if (id < 1 || twice.contains(id))
            continue;
        const QString from = recordedPath.value(id);
        // The server keeps a node's id when it is renamed or moved: the same
        // node listed under another path is a move, not a deletion and a new
        // file. Only a local copy that the scan saw is moved, only to a place
        // nothing of the user's holds, and never out of or into a place the
        // pass must leave alone.
        if (from.isEmpty() || from == to || state.contains(to) || !pass.localFiles.contains(from))
            continue;
        if (pass.localFiles.contains(to) && PassValues::nameCaseKey(to) != PassValues::nameCaseKey(from))
            continue;
        if (PassValues::isAtOrBelow(from, pass.unseenPaths) || PassValues::isAtOrBelow(to, pass.unseenPaths)
            || PassValues::isAtOrBelow(from, pass.rejectedPaths))
            continue;

        pass.localTreeTouched = true;
        if (!moveLocalEntry(from, to)) {
            // The old copy stays where it is, and is not taken for a file the
            // server dropped: the node comes down at its new path instead.
            Q_EMIT log(QStringLiteral("Kumatta taşınan dosya yerelde taşınamadı, eski yerinde bırakıldı: ") + from);
            pass.protectedPaths.insert(from);
            continue;
        }
        Q_EMIT log(QStringLiteral("Kumatta taşınan dosya yerelde de taşındı: ") + from + QStringLiteral(" → ") + to);
        // The record follows the file, so the rest of the pass meets it at its
        // new path as it would any file: an edit made here goes up, a change
        // there comes down, and nothing is trashed or deleted.
        QJsonObject record = state.take(from).toObject();
        record.insert(QStringLiteral("name"), QFileInfo(to).fileName());
        state.insert(to, record);
        pass.nextState.remove(from);
        pass.nextState.insert(to, record);
        LocalFile file = pass.localFiles.take(from);
        file.absolutePath = syncFolder + QLatin1Char('/') + to;
        file.name = QFileInfo(to).fileName();
        pass.localFiles.insert(to, file);
    }
}
