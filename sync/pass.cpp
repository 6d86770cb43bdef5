#include "syncengine.h"

#include "apiclient.h"
#include "passcontext.h"

#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QStringList>
#include <QUrl>

#include <algorithm>

void SyncEngine::syncNow()
{
    // A pass asked for while one runs (a timer firing inside a nested wait) is
    // dropped: the one running already covers it.
    if (!running || syncInProgress)
        return;
    // nothing to synchronise before the folder is there
    if (waitingForFolder) {
        checkWaitingFolder();
        return;
    }
    syncInProgress = true;
    // Everything the pass does inside the folder is tied to this directory,
    // not to its path: a folder renamed or unplugged meanwhile must not be
    // refilled, or written into, at its old place.
    passFolder = FolderIdentity::of(syncFolder);
    folderLost = false;
    signInLost = false;
    runPass();
    passFolder = FolderIdentity();
    folderLost = false;
    syncInProgress = false;
    // stopped while the pass ran: the folder is free once it has ended
    if (!running)
        releaseFolder();
}

void SyncEngine::runPass()
{
    Q_EMIT log(QStringLiteral("Değişiklikler kontrol ediliyor..."));

    if (!syncFolderAvailable())
        return;
    // The records describe the directory they were read from. Another one at
    // the same path (made again, another drive mounted there) holds other
    // files, or none: judged against those records, each would read as
    // deleted here. It is paired by its own state file, or anew.
    if (stateFolder != passFolder) {
        Q_EMIT log(QStringLiteral("Senkronizasyon klasörü değişmiş; takip kaydı bu klasörden okundu: ") + syncFolder);
        loadState();
    }
    if (!bindStateToAccount()) {
        signInGone();
        return;
    }
    // stopped while the account was asked for: no further request
    if (!running)
        return;
    applyKeptRemovals();
    // The folder is read while the server is asked for its view: the reading
    // costs about as much as the request and its intake, and neither waits
    // for the other. It starts after the kept removals, which change the
    // folder, and on a folder that is there.
    if (!syncFolderAvailable())
        return;
    ScanRunPtr scan = startScan(true, true, true);
    QJsonObject snapshot;
    if (!fetchSnapshot(&snapshot)) {
        abandonScan(std::move(scan));
        signInGone();
        return;
    }

    PassContext pass;
    takeInSnapshot(pass, snapshot);

    QStringList leftovers;
    ScanGaps gaps;
    QHash<QString, QByteArray> listings;
    pass.localFiles = finishScan(std::move(scan), &leftovers, &gaps, &listings, &pass.scannedFolders);
    // Stopped while the folder was read: what the scan missed would read as
    // deleted. The files are read while the window goes on, so a stop can
    // come here as it comes during a server request.
    if (gaps.stopped || !running) {
        cancelPass();
        return;
    }
    // What each watched directory listed as the scan saw it: a notification
    // that leaves it so (the pass's own bookkeeping) starts no pass, and a
    // change made since then still does.
    listingsAtPass = listings;
    // Moved while it was listed: the listing may miss what it holds. The
    // snapshot request waited on the network meanwhile; a drive can go in
    // that time, and an empty scan would read as "the user deleted
    // everything".
    if (gaps.top || !syncFolderAvailable()) {
        if (gaps.top)
            syncFolderUnavailable();
        return;
    }
    reportScanGaps(gaps);
    // a folder it could not list may hold folders it did not come to
    if (!gaps.folders.isEmpty())
        pass.scannedFolders.clear();
    for (const QString &folder : std::as_const(gaps.folders))
        pass.unseenPaths.insert(folder);
    for (const QString &file : std::as_const(gaps.files))
        pass.unseenPaths.insert(file);
    // a download kept for another try at its replace is no leftover
    if (!keptParts.isEmpty())
        leftovers.removeIf([this](const QString &relative) {
            return relative.endsWith(QLatin1String(".kumat-part")) && keptParts.contains(relative.chopped(11));
        });
    if (!leftovers.isEmpty())
        pass.localTreeTouched = true;
    removeLeftoversOfWrites(leftovers);
    pass.nextState = state;

    followRemoteMoves(pass);
    if (!syncFolderAvailable())
        return;
    archivePortalDeletions(pass);
    if (!syncFolderAvailable())
        return;
    trashLocalDeletions(pass);
    if (signInGone() || !syncFolderAvailable())
        return;
    reconcileRemoteFiles(pass);
    if (signInGone() || !syncFolderAvailable())
        return;
    const bool walked = processLocalFiles(pass);
    if (signInGone() || !syncFolderAvailable())
        return;
    if (!walked) {
        cancelPass();
        return;
    }
    completePass(pass);
}

bool SyncEngine::bindStateToAccount()
{
    const QString account = api->accountId();
    if (account.isEmpty()) {
        // Without knowing whose tree the server shows, nothing can be judged
        // against the records; the folder and the state stay as they are.
        const QString error = api->lastError();
        Q_EMIT log(QStringLiteral("Hesap bilgisi alınamadı: ") + error);
        // an expired sign-in is told once, by whoever signs in again
        if (!signInLost)
            Q_EMIT notification(QStringLiteral("Senkronizasyon hatası"),
                                QStringLiteral("Kumat hesap bilgisi alınamadı: ") + error, 2);
        return false;
    }
    const QUrl server = QUrl(api->baseUrl()).adjusted(QUrl::StripTrailingSlash | QUrl::NormalizePathSegments);
    const QJsonObject binding{{QStringLiteral("server"), server.toString()}, {QStringLiteral("account"), account}};
    // A state from before records were tied to an account is taken as this one's.
    if (!stateBinding.isEmpty() && stateBinding != binding) {
        // Records of another account or server say nothing about this one:
        // judged against them, its files would read as deleted or changed,
        // and content would cross between accounts. The folder is paired
        // anew, as a folder without records is; the records stay in the
        // file until a pass for this account completes.
        if (!state.isEmpty())
            Q_EMIT log(QStringLiteral("Takip kaydı başka bir hesaba veya sunucuya ait; klasör bu hesapla yeniden "
                                      "eşleştiriliyor: ")
                       + syncFolder);
        state = QJsonObject();
        for (RemovalHold &hold : removalHolds)
            hold = RemovalHold();
    }
    stateBinding = binding;
    return true;
}

bool SyncEngine::signInGone()
{
    if (!signInLost)
        return false;
    // Nothing of this pass is recorded; what it did is met again by the next.
    Q_EMIT log(QStringLiteral("Kumat oturumu sona erdi; senkronizasyon yarıda kaldı, takip kaydı değiştirilmedi."));
    Q_EMIT signInNeeded();
    return true;
}

bool SyncEngine::syncFolderAvailable()
{
    // A removable drive unplugged or a network share gone: nothing of what the
    // folder held may be taken for deleted, so the pass ends as if the server
    // had not answered, and nothing is recorded.
    // A folder that cannot be listed scans as empty just the same.
    const QFileInfo folder(syncFolder);
    if (!syncFolder.isEmpty() && folder.exists() && folder.isDir() && folder.isReadable() && folderStillSame())
        return true;
    syncFolderUnavailable();
    return false;
}

void SyncEngine::syncFolderUnavailable()
{
    Q_EMIT log(QStringLiteral("Senkronizasyon klasörüne erişilemiyor; denetim durduruldu, takip kaydı değiştirilmedi: ") + syncFolder);
    Q_EMIT notification(QStringLiteral("Senkronizasyon hatası"),
                        QStringLiteral("Senkronizasyon klasörü bulunamadı veya okunamıyor: ") + syncFolder, 2);
}

bool SyncEngine::folderStillSame() const
{
    if (!passFolder.valid)
        return true;
    if (folderLost)
        return false;
    if (FolderIdentity::of(syncFolder) == passFolder)
        return true;
    folderLost = true;
    return false;
}

bool SyncEngine::makeDirectoryInFolder(const QString &absoluteDir, bool *touched) const
{
    if (!folderStillSame())
        return false;
    const QString relative = normalizedRelative(absoluteDir);
    if (relative == QLatin1String(".."))
        return false;
    if (relative.startsWith(QLatin1String("../")) || QDir::isAbsolutePath(relative))
        return false;
    // One level at a time from the folder down: a level whose parent is gone
    // cannot be made, so the folder itself is never made again.
    const QStringList parts = relative.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString current = syncFolder;
    if (!QFileInfo(current).isDir())
        return false;
    for (const QString &part : parts) {
        if (part == QLatin1String("."))
            continue;
        current = QDir(current).filePath(part);
        if (QFileInfo(current).isDir())
            continue;
        if (touched)
            *touched = true;
        if (!QDir().mkdir(current) && !QFileInfo(current).isDir())
            return false;
    }
    return true;
}

void SyncEngine::cancelPass()
{
    // Effects already made stay; their records are not written, and the next
    // pass reconciles them from scratch.
    Q_EMIT log(QStringLiteral("Senkronizasyon durduruldu; yarım işlem takip kaydına yazılmadı."));
}

void SyncEngine::completePass(PassContext &pass)
{
    // A record whose file is gone both here and on the server (deleted on the
    // server without a deletion record, say) would make a later file at that
    // path look deleted on the server and be removed; forget it instead.
    const QStringList keys = pass.nextState.keys();
    PassValues::OrderedLookup<QMap<QString, RemoteItem>, RemoteItem> remoteLookup(pass.remoteItems);
    PassValues::OrderedLookup<QMap<QString, LocalFile>, LocalFile> localLookup(pass.localFiles);
    for (const QString &key : keys) {
        if (remoteLookup.contains(key) || localLookup.contains(key) || pass.rejectedPaths.contains(key)
            || PassValues::isAtOrBelow(key, pass.unseenPaths))
            continue;
        // a download of this pass may have put it there; so may the user
        const QFileInfo onDisk(absolute(key));
        if (onDisk.exists() || onDisk.isSymLink())
            continue;
        pass.nextState.remove(key);
    }

    state = pass.nextState;
    saveState();
    Q_EMIT passCompleted();
    // A pass that changed nothing here leaves the folders as its scan found
    // them, but for what the user did since, which the watch still running
    // reports: the scan's walk serves, and a second one of the whole tree
    // would cost as much as the rest of a pass with nothing to do.
    if (!pass.localTreeTouched && pass.scannedFolders.value(0) == syncFolder)
        watcher.watch(pass.scannedFolders);
    else
        rebuildWatchers();
    Q_EMIT log(QStringLiteral("Senkronizasyon tamamlandı."));

    const QString summary =
        QStringLiteral("Yüklenen: %1, indirilen: %2, portal silme arşivi: %3, çöpe taşındı: %4, yerel silindi: %5, hata: %6")
            .arg(pass.uploaded)
            .arg(pass.downloaded)
            .arg(pass.archived)
            .arg(pass.trashed)
            .arg(pass.localDeleted)
            .arg(pass.errors);
    if (pass.errors > 0)
        Q_EMIT notification(QStringLiteral("Senkronizasyon hatalarla tamamlandı"), summary, 1);
    else
        Q_EMIT notification(QStringLiteral("Senkronizasyon tamamlandı"), summary, 0);
}
