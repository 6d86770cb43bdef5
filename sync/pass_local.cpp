#include "syncengine.h"

#include "apiclient.h"
#include "pass_localtrash.h"
#include "passcontext.h"
#include "pathrules.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

namespace {

// Whether the local copy still holds exactly what was last synchronised. Only
// then is it safe to let it go when the server drops the file; an unreadable
// file, or one saved since the scan, may hold the only copy of an edit.
bool holdsRecordedContent(const SyncEngine::LocalFile &file, const QJsonObject &record)
{
    if (file.hash.isEmpty() || file.hash != record.value(QLatin1String("local_hash")).toString())
        return false;
    const QFileInfo now(file.absolutePath);
    const QDateTime modified = now.fileTime(QFileDevice::FileModificationTime);
    const qint64 modifiedMs = modified.isValid() ? modified.toMSecsSinceEpoch() : 0;
    return now.isFile() && now.size() == file.size && modifiedMs == file.modifiedMs;
}

// The server stores names of at most 255 bytes of UTF-8; on Windows a name of
// 255 letters such as "ş" is twice that.
bool serverTakesNames(const QString &path)
{
    for (const QStringView name : QStringView(path).split(QLatin1Char('/'))) {
        if (name.toUtf8().size() > 255)
            return false;
    }
    return true;
}

} // namespace

bool SyncEngine::processLocalFiles(PassContext &pass)
{
    PassValues::OrderedLookup<QMap<QString, RemoteItem>, RemoteItem> remoteLookup(pass.remoteItems);
    QStringList removals;
    for (auto it = pass.localFiles.cbegin(); it != pass.localFiles.cend(); ++it) {
        if (!running || folderLost || signInLost)
            return false;
        const QString &path = it.key();
        const LocalFile &file = it.value();

        // archived after the scan, or deleted on the server by phase 5
        if (PassValues::isAtOrBelow(path, pass.portalDeletedPaths))
            continue;
        if (pass.trashedPaths.contains(path))
            continue;
        // the archive could not take it: it stays exactly as it is
        if (PassValues::isAtOrBelow(path, pass.protectedPaths))
            continue;
        // the server lists something here, or a folder above, that the
        // intake refused
        if (PassValues::isAtOrBelow(path, pass.rejectedPaths))
            continue;
        // unreadable: neither a new file to upload nor one to let go; or
        // where the server has a folder
        if (PassValues::isAtOrBelow(path, pass.unseenPaths) || PassValues::isAtOrBelow(path, pass.clashPaths))
            continue;
        if (remoteLookup.contains(path)) {
            if (!trashRefused.isEmpty())
                trashRefused.remove(path);
            continue;
        }
        // what follows waits on the server or notifies, and an upload adds
        // folders to the remote map
        remoteLookup.restart();

        const QJsonObject record = state.value(path).toObject();
        if (PassValues::integer(record.value(QLatin1String("remote_id"))) < 1) {
            uploadLocalFile(pass, path, file, QVariant());
            continue;
        }
        if (!holdsRecordedContent(file, record)) {
            trashRefused.remove(path);
            // Deleted on the server, edited here: the edit exists nowhere else.
            Q_EMIT log(QStringLiteral("Sunucuda silinen dosya yerelde değiştirildiği için korundu, yeniden yükleniyor: ")
                       + path);
            pass.nextState.remove(path);
            uploadLocalFile(pass, path, file, QVariant());
            continue;
        }
        // already reported; asking the trash again each pass changes nothing
        if (trashRefused.contains(path))
            continue;
        removals.append(path);
    }
    if (!running || folderLost || signInLost)
        return false;

    // A server that suddenly lists nothing (a fault, a restored backup,
    // another account's tree) must not empty the folder: above the guard's
    // bound the removals wait for the user's answer, records and all.
    const QSet<QString> allowed = allowedRemovals(LocalRemoval, removals);
    for (const QString &path : std::as_const(removals)) {
        if (!running || folderLost || signInLost)
            return false;
        if (allowed.contains(path))
            removeFileGoneFromServer(pass, path);
    }
    return running;
}

void SyncEngine::uploadLocalFile(PassContext &pass, const QString &path, const LocalFile &file,
                                 const QVariant &baseVersion)
{
    // another directory at the path holds other content under this name
    if (!folderStillSame())
        return;
    // A name the server refuses fails on every pass; one this platform cannot
    // hold (nesting beyond reason) the intake would refuse when it came back.
    // The file stays as it is, untouched, and the user hears of it once.
    if (!serverTakesNames(path)
        || !platformCanHoldPath(QDir(syncFolder).absolutePath().toStdU16String(), path.toStdU16String())) {
        if (warnOnce(unholdableReported, path,
                     QStringLiteral("Kumatın veya bu bilgisayarın tutamayacağı yerel yol yüklenmedi (ad, uzunluk veya "
                                    "derinlik sınırı): ")
                         + path,
                     QStringLiteral("Adı veya yolu kumata uygun olmayan dosya yüklenmedi: ") + path))
            ++pass.errors;
        return;
    }
    QVariant parentId;
    if (!ensureRemoteFolders(QFileInfo(path).path(), pass.remoteItems, &parentId))
        return;
    // Stopped while a conflict copy or a folder for it was fetched: a stopped
    // engine starts no new request.
    if (!running || signInLost) {
        Q_EMIT log(QStringLiteral("Yükleme durduruldu: ") + path);
        return;
    }
    // the folders were made on the server while the folder could go
    if (!folderStillSame())
        return;

    const QJsonObject item = api->uploadFile(parentId, file.absolutePath, QFileInfo(path).fileName(), baseVersion)
                                 .value(QLatin1String("item"))
                                 .toObject();
    if (!item.isEmpty()) {
        ++pass.uploaded;
        Q_EMIT log((baseVersion.isValid() ? QStringLiteral("Yüklendi: ") : QStringLiteral("Yeni dosya yüklendi: "))
                   + path);
        pass.nextState.insert(path, stateRecord(file, PassValues::integer(item.value(QLatin1String("version"))),
                                                item.value(QLatin1String("id"))));
        return;
    }
    if (!running || signInLost) {
        Q_EMIT log(QStringLiteral("Yükleme durduruldu: ") + path);
        return;
    }
    const QString error = api->lastError();
    Q_EMIT log(QStringLiteral("Yüklenemedi: ") + path + QStringLiteral(" — ") + error);
    Q_EMIT notification(QStringLiteral("Yükleme hatası"), path + QStringLiteral(" — ") + error, 2);
    ++pass.errors;
}

void SyncEngine::removeFileGoneFromServer(PassContext &pass, const QString &path)
{
    if (!folderStillSame())
        return;
    pass.localTreeTouched = true;
    // Into the platform's trash, never destroyed: a server that suddenly lists
    // nothing (a fault, another account) must not wipe the folder for good.
    if (LocalTrash::moveToTrash(absolute(path))) {
        ++pass.localDeleted;
        Q_EMIT log(QStringLiteral("Sunucu tarafından çöpe atıldı, yerel kaldırıldı: ") + path);
        Q_EMIT notification(QStringLiteral("Dosya çöp kutusuna taşındı"),
                            QStringLiteral("'") + path
                                + QStringLiteral("' mobil uygulamada silindi; yerel kopya kaldırıldı."),
                            0);
        pass.nextState.remove(path);
        return;
    }
    // Refused (a network share or a drive without a Recycle Bin, a file held
    // open): the file stays where it is, and so does its record. Without the
    // record the next pass would take it for a new file and upload it again,
    // undoing the deletion made on the other device.
    const QString where = QDir::toNativeSeparators(absolute(path));
    Q_EMIT log(QStringLiteral("Yerel dosya silinemedi: ") + path);
    Q_EMIT log(QStringLiteral("Sunucuda silinen dosya çöp kutusuna taşınamadı, klasörde bırakıldı: ") + where);
    Q_EMIT notification(QStringLiteral("Silme hatası"),
                        QStringLiteral("Sunucuda silinen dosya çöp kutusuna taşınamadı, klasörde bırakıldı: ") + where,
                        2);
    ++pass.errors;
    trashRefused.insert(path);
}
