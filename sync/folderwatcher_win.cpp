#include "folderwatcher.h"

#include "folderidentity.h"
#include "win32path_win.h"

#include <QTimer>

#include <atomic>
#include <thread>

#include <windows.h>

// The one change notification of the tree, on the top folder, names no file:
// a report tells only that something below changed. Every watched folder is
// then reported, once per burst of reports; the engine's listing check finds
// which of them really changed (and passes over its own writes). A burst lasts
// half a second from its first report, so that a pass writing file after file
// costs at most two listings of the tree a second; the pass that a change
// starts waits longer than that anyway.
//
// The handle is waited on by a thread of the watcher's own, together with an
// event that ends it, rather than through the system thread pool: a watch is
// given up and made anew whenever the tree is another, and a pool callback
// still under way for a watch already gone is what crashed under Wine.
// Joining our own thread is the one sure end of every wait.
//
// A watch of the same top folder (after every pass) goes on with the handle
// it has and takes the new list of folders: made anew, it would miss what
// changed between the end of the pass and the new handle. The top folder must
// still be the one the handle was opened on; one moved away and made again
// at that path gets a new watch.
struct FolderWatcher::Platform
{
    HANDLE change = INVALID_HANDLE_VALUE;
    HANDLE stop = nullptr;
    std::thread waiter;
    // one report on its way to the owner's thread at a time; the burst
    // gathers what comes meanwhile
    std::atomic<bool> reportPending{false};
    quint64 generation = 0;
    QTimer burst;
    QStringList watched;
    FolderIdentity topIdentity;

    void close()
    {
        burst.stop();
        if (change == INVALID_HANDLE_VALUE)
            return;
        SetEvent(stop);
        waiter.join();
        FindCloseChangeNotification(change);
        CloseHandle(stop);
        change = INVALID_HANDLE_VALUE;
        stop = nullptr;
        // reports of this watch still queued are passed over
        ++generation;
        watched.clear();
    }
};

FolderWatcher::FolderWatcher(QObject *parent)
    : QObject(parent)
    , platform(std::make_unique<Platform>())
{
    platform->burst.setSingleShot(true);
    platform->burst.setInterval(500);
    connect(&platform->burst, &QTimer::timeout, this, [this] {
        const QStringList dirs = platform->watched;
        for (const QString &dir : dirs)
            Q_EMIT directoryChanged(dir);
    });
}

FolderWatcher::~FolderWatcher()
{
    platform->close();
}

void FolderWatcher::watch(const QStringList &dirs)
{
    Platform &p = *platform;
    if (!dirs.isEmpty() && p.change != INVALID_HANDLE_VALUE && p.watched.value(0) == dirs.first()
        && FolderIdentity::of(dirs.first()) == p.topIdentity) {
        p.watched = dirs;
        return;
    }
    clear();
    if (dirs.isEmpty())
        return;
    // taken before the handle, so that a folder swapped meanwhile is caught
    // at the next watch
    p.topIdentity = FolderIdentity::of(dirs.first());
    p.change = FindFirstChangeNotificationW(win32Path(dirs.first()).c_str(), TRUE,
                                            FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME
                                                | FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE
                                                | FILE_NOTIFY_CHANGE_LAST_WRITE);
    if (p.change == INVALID_HANDLE_VALUE)
        return;
    p.stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!p.stop) {
        FindCloseChangeNotification(p.change);
        p.change = INVALID_HANDLE_VALUE;
        return;
    }
    p.watched = dirs;
    p.reportPending = false;

    // Runs on the owner's thread. A watch that failed is let go of, so that
    // the top folder can be removed or renamed, and said once.
    const quint64 generation = p.generation;
    const auto report = [this, generation](bool lost) {
        Platform &p = *platform;
        if (p.generation != generation)
            return; // a report of a watch given up since
        p.reportPending = false;
        if (lost) {
            const QString top = p.watched.value(0);
            p.close();
            Q_EMIT directoryChanged(top);
            return;
        }
        if (!p.burst.isActive())
            p.burst.start();
    };
    const HANDLE change = p.change;
    const HANDLE stop = p.stop;
    std::atomic<bool> *pending = &p.reportPending;
    // The owner outlives the thread (close() joins it first), and a queued
    // call to an object deleted since is dropped by Qt.
    p.waiter = std::thread([this, change, stop, pending, report] {
        const HANDLE handles[2] = {stop, change};
        for (;;) {
            const DWORD woken = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
            if (woken == WAIT_OBJECT_0)
                return;
            // the top folder went away, or cannot be watched any more
            const bool lost = woken != WAIT_OBJECT_0 + 1 || !FindNextChangeNotification(change);
            if (lost || !pending->exchange(true))
                QMetaObject::invokeMethod(this, [report, lost] { report(lost); }, Qt::QueuedConnection);
            if (lost)
                return;
        }
    });
}

void FolderWatcher::clear()
{
    platform->close();
}

QStringList FolderWatcher::directories() const
{
    return platform->watched;
}
