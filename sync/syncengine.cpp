#include "syncengine.h"

#include "apiclient.h"
#include "dirwalk.h"
#include "folderlock.h"
#include "pathgate.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QSet>

#include <climits>
#include <functional>

namespace {

// A burst of folder notifications (an editor saving, an archive unpacking)
// should cost one pass, not one per notification.
constexpr int debounceMs = 1800;
constexpr int msPerMinute = 60 * 1000;
// how often a missing folder is looked for: a drive plugged in should be
// taken up within seconds, and a look costs one status call
constexpr int folderWaitMs = 5000;

} // namespace

SyncEngine::SyncEngine(ApiClient *api, QObject *parent)
    : QObject(parent)
    , api(api)
{
    debounceTimer.setSingleShot(true);
    debounceTimer.setInterval(debounceMs);

    connect(&debounceTimer, &QTimer::timeout, this, &SyncEngine::syncNow);
    connect(&intervalTimer, &QTimer::timeout, this, &SyncEngine::syncNow);
    connect(&watcher, &FolderWatcher::directoryChanged, this, &SyncEngine::directoryChanged);
    folderWaitTimer.setInterval(folderWaitMs);
    connect(&folderWaitTimer, &QTimer::timeout, this, &SyncEngine::checkWaitingFolder);
    if (api) {
        // every request after a refused token is refused too: the pass stops
        // asking at its next check instead of collecting a failure per file
        connect(api, &ApiClient::signInRejected, this, [this] {
            if (syncInProgress)
                signInLost = true;
        });
    }
}

namespace {

// The folder locks the engines of this process hold, by lock file path.
QSet<QString> &lockedFolders()
{
    static QSet<QString> paths;
    return paths;
}

} // namespace

SyncEngine::~SyncEngine()
{
    // gone while a pass waits: a scan under way reads nothing more
    if (scanStop)
        scanStop->store(true);
    releaseFolder();
}

void SyncEngine::releaseFolder()
{
    if (!folderLock)
        return;
    lockedFolders().remove(folderLock->fileName());
    folderLock.reset();
}

void SyncEngine::configure(const QString &folder, int intervalMinutes)
{
    const QString cleaned = QDir::cleanPath(folder);
    if (cleaned != syncFolder) {
        trashRefused.clear();
        keptParts.clear();
        // a question about another folder's files has no answer here
        for (RemovalHold &hold : removalHolds)
            hold = RemovalHold();
    }
    syncFolder = cleaned;
    // The timer counts in int milliseconds; beyond this the product would wrap
    // into a negative or tiny interval.
    constexpr int maxMinutes = INT_MAX / msPerMinute;
    const int minutes = intervalMinutes > 0 ? qMin(intervalMinutes, maxMinutes) : 1;
    intervalTimer.setInterval(minutes * msPerMinute);
}

void SyncEngine::setMayCreateFolder(bool may)
{
    mayCreateFolder = may;
}

bool SyncEngine::isWaitingForFolder() const
{
    return waitingForFolder;
}

void SyncEngine::start()
{
    if (syncFolder.isEmpty())
        return;
    // A folder that was synchronised before and is not there now lives on a
    // drive, a share or a mount that has not come yet: made again here it
    // would be an empty folder on another disk, filled with the whole account.
    if (!mayCreateFolder && !QFileInfo(syncFolder).isDir()) {
        running = true;
        waitingForFolder = true;
        folderWaitTimer.start();
        Q_EMIT stateChanged(true);
        Q_EMIT log(QStringLiteral("Senkronizasyon klasörü bulunamadı; sürücüsü bağlanınca başlanacak: ") + syncFolder);
        Q_EMIT folderWaiting(true);
        return;
    }
    if (!QDir().mkpath(syncFolder)) {
        Q_EMIT log(QStringLiteral("Senkronizasyon klasörü oluşturulamadı: ") + syncFolder);
        return;
    }
    if (!lockFolder())
        return;

    loadState();
    rebuildWatchers();
    running = true;
    intervalTimer.start();
    Q_EMIT stateChanged(true);
    Q_EMIT log(QStringLiteral("Senkronizasyon başlatıldı: ") + syncFolder);
    syncNow();
}

void SyncEngine::stop()
{
    // No guard: stopping twice, or before any start, must still leave every
    // trigger disarmed and tell the window.
    running = false;
    if (api)
        api->cancelActiveTransfers();
    // a scan under way stops between two chunks of what it reads
    if (scanStop)
        scanStop->store(true);
    intervalTimer.stop();
    debounceTimer.stop();
    folderWaitTimer.stop();
    if (waitingForFolder) {
        waitingForFolder = false;
        Q_EMIT folderWaiting(false);
    }

    watcher.clear();
    // A pass still winding down writes nothing more that another engine
    // could meet: it ends at its next check without a write.
    if (!syncInProgress)
        releaseFolder();

    Q_EMIT stateChanged(false);
    Q_EMIT log(QStringLiteral("Senkronizasyon durduruldu."));
}

bool SyncEngine::lockFolder()
{
    const QString lockPath = QDir(syncFolder).filePath(QStringLiteral(".kumat-sync.lock"));
    if (folderLock && folderLock->isLocked() && folderLock->fileName() == lockPath)
        return true;
    releaseFolder();
    folderLock = std::make_unique<QLockFile>(lockPath);
    // Only a lock whose process is gone is stale; a long pass must never
    // lose its lock to a second engine.
    folderLock->setStaleLockTime(0);
    if (folderLock->tryLock(0)) {
        lockedFolders().insert(lockPath);
        return true;
    }
    // A lock that no engine of this process holds and no running program
    // keeps (one killed or crashed, one in a folder moved away during a pass
    // and come back) is left over, whatever process id it names.
    if (folderLock->error() == QLockFile::LockFailedError && !lockedFolders().contains(lockPath)
        && !FolderLock::heldByRunningProgram(lockPath) && folderLock->removeStaleLockFile()
        && folderLock->tryLock(0)) {
        lockedFolders().insert(lockPath);
        return true;
    }
    const bool heldByAnother = folderLock->error() == QLockFile::LockFailedError;
    releaseFolder();
    if (heldByAnother) {
        Q_EMIT log(QStringLiteral("Bu klasörü başka bir Kumat Senkronizasyon kopyası senkronize ediyor; başlatılmadı: ")
                   + syncFolder);
        Q_EMIT notification(QStringLiteral("Senkronizasyon başlatılamadı"),
                            QStringLiteral("Bu klasörü başka bir Kumat Senkronizasyon kopyası senkronize ediyor: ")
                                + syncFolder,
                            2);
        return false;
    }
    // A folder this user may not write into (read-only media, say) holds no
    // lock and no other engine's either; the pass reports what it cannot
    // write, and leaves the leftovers of writes alone without the lock.
    Q_EMIT log(QStringLiteral("Senkronizasyon klasörüne kilit dosyası yazılamadı: ") + syncFolder);
    return true;
}

void SyncEngine::syncSoon()
{
    scheduleSync();
}

void SyncEngine::checkWaitingFolder()
{
    if (!running || !waitingForFolder || !QFileInfo(syncFolder).isDir())
        return;
    folderWaitTimer.stop();
    waitingForFolder = false;
    Q_EMIT folderWaiting(false);
    if (!lockFolder()) {
        stop();
        return;
    }
    loadState();
    rebuildWatchers();
    intervalTimer.start();
    Q_EMIT log(QStringLiteral("Senkronizasyon başlatıldı: ") + syncFolder);
    syncNow();
}

bool SyncEngine::isRunning() const
{
    return running;
}

void SyncEngine::scheduleSync()
{
    // Restarting an active single-shot timer pushes the pass back, so only the
    // quiet period after the last notification counts.
    if (running)
        debounceTimer.start();
}

void SyncEngine::directoryChanged(const QString &path)
{
    // Windows reports the engine's own writes too (the state file at the end
    // of every pass, a download's staging file): taken for a change, each
    // pass would start the next one. A listing that differs from the one the
    // last pass began with is a change the pass may not have seen.
    const auto known = listingsAtPass.constFind(path);
    if (known != listingsAtPass.cend() && known.value() == watchedListing(path))
        return;
    listingsAtPass.remove(path);
    scheduleSync();
}

QByteArray SyncEngine::watchedListing(const QString &dir) const
{
    std::vector<DirWalk::Entry> entries;
    DirWalk::entries(dir, [&entries](const DirWalk::Entry &entry) { entries.push_back(entry); });
    return listingDigest(entries, dir == syncFolder ? QString() : normalizedRelative(dir) + QLatin1Char('/'));
}

void SyncEngine::rebuildWatchers()
{
    QStringList paths{syncFolder};
    DirWalk::list(syncFolder, DirWalk::Listing::Dirs, [&](const QString &path) {
        // the engine's own folders change with every conflict and archive
        if (!isEngineEntry(normalizedRelative(path)))
            paths.append(path);
    });
    // Directories that cannot be watched are left out; the interval timer
    // still covers them.
    watcher.watch(paths);
}
