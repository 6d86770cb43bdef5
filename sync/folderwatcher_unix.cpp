#include "folderwatcher.h"

#include <QFile>
#include <QHash>
#include <QSet>
#include <QSocketNotifier>

#include <sys/inotify.h>
#include <unistd.h>

// One inotify instance per tree. QFileSystemWatcher keeps its paths in a
// list it searches on every add and every remove, which made rebuilding the
// watch after a pass grow with the square of the folder count (half a second
// at 5,000 folders); here a watch of another tree starts from a new instance,
// and closing the old one drops all of its watches at once. A watch of the
// same tree, as after every pass, goes on with the instance it has: closing
// it would also drop the reports queued since the event loop last ran, and a
// change the user made while the pass ended would wait for the next interval.
struct FolderWatcher::Platform
{
    int fd = -1;
    QSocketNotifier *notifier = nullptr;
    // the folders, by watch; a watch that went away is taken out
    QHash<int, QStringList> pathsOf;
    QString top;

    void close()
    {
        if (fd < 0)
            return;
        // may run inside the notifier's own signal: it goes later
        notifier->setEnabled(false);
        notifier->deleteLater();
        notifier = nullptr;
        ::close(fd);
        fd = -1;
        pathsOf.clear();
        top.clear();
    }

    // Watches the folders listed, and no others.
    void watch(const QStringList &dirs)
    {
        // what QFileSystemWatcher asks for a folder: a name that comes, goes or
        // changes its attributes, and the folder itself going away
        const uint32_t mask = IN_ATTRIB | IN_MOVE | IN_CREATE | IN_DELETE | IN_DELETE_SELF | IN_ONLYDIR;
        // A folder watched already gives its watch again; a path that names
        // another folder now (one removed and made again) gives a new one.
        QHash<int, QStringList> watched;
        watched.reserve(dirs.size());
        for (const QString &dir : dirs) {
            const int wd = inotify_add_watch(fd, QFile::encodeName(dir).constData(), mask);
            if (wd < 0)
                continue;
            watched[wd].append(dir);
        }
        // a folder listed no more is reported no more
        for (auto it = pathsOf.cbegin(); it != pathsOf.cend(); ++it) {
            if (!watched.contains(it.key()))
                inotify_rm_watch(fd, it.key());
        }
        pathsOf = std::move(watched);
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
    Platform &p = *platform;
    if (!dirs.isEmpty() && p.fd >= 0 && p.top == dirs.first()) {
        p.watch(dirs);
        return;
    }
    clear();
    if (dirs.isEmpty())
        return;
    p.fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (p.fd < 0)
        return;
    p.watch(dirs);
    p.top = dirs.first();
    p.notifier = new QSocketNotifier(p.fd, QSocketNotifier::Read, this);
    connect(p.notifier, &QSocketNotifier::activated, this, [this] {
        Platform &p = *platform;
        const int fd = p.fd;
        QSet<int> changed;
        QSet<int> gone;
        bool overflow = false;
        alignas(inotify_event) char buffer[16384];
        for (;;) {
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got <= 0)
                break;
            for (ssize_t at = 0; at + ssize_t(sizeof(inotify_event)) <= got;) {
                const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
                if (event->mask & IN_Q_OVERFLOW)
                    overflow = true;
                else
                    changed.insert(event->wd);
                if (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_UNMOUNT))
                    gone.insert(event->wd);
                at += ssize_t(sizeof(inotify_event)) + event->len;
            }
        }
        QStringList paths;
        // reports were lost: the top folder stands for all of them
        if (overflow)
            paths.append(p.top);
        for (const int wd : std::as_const(changed))
            paths += p.pathsOf.value(wd);
        // a folder that went away is watched no more, as with QFileSystemWatcher
        for (const int wd : std::as_const(gone)) {
            p.pathsOf.remove(wd);
            inotify_rm_watch(fd, wd);
        }
        for (const QString &path : std::as_const(paths)) {
            // a report may have given up the watch (or made a new one) meanwhile
            if (p.fd != fd)
                return;
            Q_EMIT directoryChanged(path);
        }
    });
}

void FolderWatcher::clear()
{
    platform->close();
}

QStringList FolderWatcher::directories() const
{
    QStringList dirs;
    for (const QStringList &paths : std::as_const(platform->pathsOf))
        dirs += paths;
    return dirs;
}
