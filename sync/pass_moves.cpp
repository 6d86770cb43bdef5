#include "syncengine.h"

#include "dirwalk.h"
#include "passcontext.h"
#include "pathrules.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>

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

} // namespace

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
    // The node each record was made with; a node recorded at two paths says
    // nothing about where it went.
    QHash<qint64, QString> recordedPath;
    QSet<qint64> twice;
    for (auto it = state.constBegin(); it != state.constEnd(); ++it) {
        const qint64 id = PassValues::integer(it.value().toObject().value(QLatin1String("remote_id")));
        if (id < 1)
            continue;
        if (recordedPath.contains(id))
            twice.insert(id);
        recordedPath.insert(id, it.key());
    }

    for (auto it = pass.remoteItems.cbegin(); it != pass.remoteItems.cend(); ++it) {
        if (folderLost)
            return;
        const QString &to = it.key();
        const QJsonObject &item = it.value();
        if (item.value(QLatin1String("type")).toString() == QLatin1String("folder"))
            continue;
        const qint64 id = PassValues::integer(item.value(QLatin1String("id")));
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
