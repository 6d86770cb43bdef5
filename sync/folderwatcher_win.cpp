#include "folderwatcher.h"

#include "win32path_win.h"

#include <QHash>
#include <QSet>
#include <QWinEventNotifier>

#include <windows.h>

#include <vector>

struct FolderWatcher::Platform
{
    HANDLE dir = INVALID_HANDLE_VALUE;
    OVERLAPPED overlapped{};
    QWinEventNotifier *notifier = nullptr;
    // DWORD-aligned, as the call requires; 64 KiB is its limit on network shares
    std::vector<DWORD> buffer = std::vector<DWORD>(16 * 1024);
    QString top;
    QStringList watched;
    // lower-case path -> watched path: names compare without letter case here
    QHash<QString, QString> byKey;

    bool issue()
    {
        ResetEvent(overlapped.hEvent);
        return ReadDirectoryChangesW(dir, buffer.data(), DWORD(buffer.size() * sizeof(DWORD)), TRUE,
                                     FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME
                                         | FILE_NOTIFY_CHANGE_ATTRIBUTES | FILE_NOTIFY_CHANGE_SIZE
                                         | FILE_NOTIFY_CHANGE_LAST_WRITE,
                                     nullptr, &overlapped, nullptr);
    }

    // the watched folder that holds `relative` (a path below the top, with "/")
    QString holder(const QString &relative) const
    {
        const int slash = relative.lastIndexOf(QLatin1Char('/'));
        const QString parent = slash < 0 ? top : top + QLatin1Char('/') + relative.left(slash);
        return byKey.value(parent.toLower());
    }

    void close()
    {
        if (dir == INVALID_HANDLE_VALUE)
            return;
        // the buffer must outlive the request: wait until the cancel has landed
        CancelIoEx(dir, &overlapped);
        DWORD bytes = 0;
        GetOverlappedResult(dir, &overlapped, &bytes, TRUE);
        // this may run inside the notifier's own signal: it goes later, and
        // the event it waits on with it
        notifier->setEnabled(false);
        const HANDLE event = overlapped.hEvent;
        QObject::connect(notifier, &QObject::destroyed, [event] { CloseHandle(event); });
        notifier->deleteLater();
        notifier = nullptr;
        overlapped = OVERLAPPED{};
        CloseHandle(dir);
        dir = INVALID_HANDLE_VALUE;
        watched.clear();
        byKey.clear();
    }
};

FolderWatcher::FolderWatcher(QObject *parent)
    : QObject(parent)
    , platform(std::make_unique<Platform>())
{
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
    p.top = dirs.first();
    // sharing everything: the watch must not keep anyone from renaming or
    // removing what lies inside
    p.dir = CreateFileW(win32Path(p.top).c_str(), FILE_LIST_DIRECTORY,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    if (p.dir == INVALID_HANDLE_VALUE)
        return;
    p.overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!p.overlapped.hEvent || !p.issue()) {
        if (p.overlapped.hEvent)
            CloseHandle(p.overlapped.hEvent);
        p.overlapped = OVERLAPPED{};
        CloseHandle(p.dir);
        p.dir = INVALID_HANDLE_VALUE;
        return;
    }
    p.watched = dirs;
    for (const QString &d : dirs)
        p.byKey.insert(d.toLower(), d);

    p.notifier = new QWinEventNotifier(p.overlapped.hEvent, this);
    connect(p.notifier, &QWinEventNotifier::activated, this, [this] {
        Platform &p = *platform;
        DWORD bytes = 0;
        const bool ok = GetOverlappedResult(p.dir, &p.overlapped, &bytes, FALSE);
        QStringList changed;
        if (!ok) {
            // the top folder itself went away (or cannot be read any more):
            // let go of it so that its removal can complete, and say so
            const QString top = p.top;
            p.close();
            Q_EMIT directoryChanged(top);
            return;
        }
        if (bytes == 0) {
            // more changed than the buffer held: any folder may have changed
            changed = p.watched;
        } else {
            QSet<QString> seen;
            const char *at = reinterpret_cast<const char *>(p.buffer.data());
            for (;;) {
                const auto *info = reinterpret_cast<const FILE_NOTIFY_INFORMATION *>(at);
                const QString relative =
                    QString::fromWCharArray(info->FileName, int(info->FileNameLength / sizeof(wchar_t)))
                        .replace(QLatin1Char('\\'), QLatin1Char('/'));
                const QString holder = p.holder(relative);
                if (!holder.isEmpty() && !seen.contains(holder)) {
                    seen.insert(holder);
                    changed.append(holder);
                }
                if (info->NextEntryOffset == 0)
                    break;
                at += info->NextEntryOffset;
            }
        }
        // ask for the next changes before anyone hears of these, so that none
        // falls between
        if (!p.issue()) {
            const QString top = p.top;
            p.close();
            changed.append(top);
        }
        for (const QString &dir : std::as_const(changed))
            Q_EMIT directoryChanged(dir);
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
