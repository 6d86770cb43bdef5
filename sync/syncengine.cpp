#include "syncengine.h"

#include "apiclient.h"
#include "dirwalk.h"

#include <QDir>

#include <climits>

namespace {

// A burst of folder notifications (an editor saving, an archive unpacking)
// should cost one pass, not one per notification.
constexpr int debounceMs = 1800;
constexpr int msPerMinute = 60 * 1000;

} // namespace

SyncEngine::SyncEngine(ApiClient *api, QObject *parent)
    : QObject(parent)
    , api(api)
{
    debounceTimer.setSingleShot(true);
    debounceTimer.setInterval(debounceMs);

    connect(&debounceTimer, &QTimer::timeout, this, &SyncEngine::syncNow);
    connect(&intervalTimer, &QTimer::timeout, this, &SyncEngine::syncNow);
    connect(&watcher, &QFileSystemWatcher::directoryChanged, this, &SyncEngine::scheduleSync);
    connect(&watcher, &QFileSystemWatcher::fileChanged, this, &SyncEngine::scheduleSync);
}

void SyncEngine::configure(const QString &folder, int intervalMinutes)
{
    syncFolder = QDir::cleanPath(folder);
    // The timer counts in int milliseconds; beyond this the product would wrap
    // into a negative or tiny interval.
    constexpr int maxMinutes = INT_MAX / msPerMinute;
    const int minutes = intervalMinutes > 0 ? qMin(intervalMinutes, maxMinutes) : 1;
    intervalTimer.setInterval(minutes * msPerMinute);
}

void SyncEngine::start()
{
    if (syncFolder.isEmpty())
        return;
    if (!QDir().mkpath(syncFolder)) {
        Q_EMIT log(QStringLiteral("Senkronizasyon klasörü oluşturulamadı: ") + syncFolder);
        return;
    }

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
    intervalTimer.stop();
    debounceTimer.stop();

    const QStringList directories = watcher.directories();
    if (!directories.isEmpty())
        watcher.removePaths(directories);
    const QStringList files = watcher.files();
    if (!files.isEmpty())
        watcher.removePaths(files);

    Q_EMIT stateChanged(false);
    Q_EMIT log(QStringLiteral("Senkronizasyon durduruldu."));
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

void SyncEngine::rebuildWatchers()
{
    const QStringList watched = watcher.directories();
    if (!watched.isEmpty())
        watcher.removePaths(watched);

    QStringList paths{syncFolder};
    DirWalk::list(syncFolder, DirWalk::Listing::Dirs, [&](const QString &path) {
        // the engine's own folders change with every conflict and archive
        if (!isEngineEntry(normalizedRelative(path)))
            paths.append(path);
    });
    // Directories that cannot be watched come back from addPaths; the interval
    // timer still covers them.
    watcher.addPaths(paths);
}
