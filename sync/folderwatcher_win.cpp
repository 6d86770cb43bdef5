#include "folderwatcher.h"

#include "win32path_win.h"

#include <QTimer>
#include <QWinEventNotifier>

#include <windows.h>

// The one change notification of the tree, on the top folder, names no file:
// a report tells only that something below changed. Every watched folder is
// then reported, once per burst of reports; the engine's listing check finds
// which of them really changed (and passes over its own writes). A burst lasts
// half a second from its first report, so that a pass writing file after file
// costs at most two listings of the tree a second; the pass that a change
// starts waits longer than that anyway.
struct FolderWatcher::Platform
{
    HANDLE change = INVALID_HANDLE_VALUE;
    QWinEventNotifier *notifier = nullptr;
    QTimer burst;
    QStringList watched;

    void close()
    {
        burst.stop();
        if (change == INVALID_HANDLE_VALUE)
            return;
        // this may run inside the notifier's own signal: it goes later, and
        // the handle it waits on with it
        notifier->setEnabled(false);
        const HANDLE handle = change;
        QObject::connect(notifier, &QObject::destroyed, [handle] { FindCloseChangeNotification(handle); });
        notifier->deleteLater();
        notifier = nullptr;
        change = INVALID_HANDLE_VALUE;
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
    clear();
    if (dirs.isEmpty())
        return;
    Platform &p = *platform;
    p.change = FindFirstChangeNotificationW(win32Path(dirs.first()).c_str(), TRUE,
                                            FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME
                                                | FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE
                                                | FILE_NOTIFY_CHANGE_LAST_WRITE);
    if (p.change == INVALID_HANDLE_VALUE)
        return;
    p.watched = dirs;
    p.notifier = new QWinEventNotifier(p.change, this);
    QWinEventNotifier *notifier = p.notifier;
    connect(notifier, &QWinEventNotifier::activated, this, [this, notifier] {
        Platform &p = *platform;
        if (p.notifier != notifier)
            return; // a report of a watch given up since
        if (!FindNextChangeNotification(p.change)) {
            // the top folder went away, or cannot be watched any more: let go
            // of it so that a removal can complete, and say so once
            const QString top = p.watched.value(0);
            p.close();
            Q_EMIT directoryChanged(top);
            return;
        }
        if (!p.burst.isActive())
            p.burst.start();
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
