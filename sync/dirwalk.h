#pragma once

#include <QString>
#include <QtGlobal>

#include <functional>

// The folder walk of the scan and of the watcher rebuild, with the path strings
// QDirIterator(root, filters, QDirIterator::Subdirectories) gives, in no
// particular order, and without a QFileInfo per entry: the folder holds one
// entry per synchronised file, and each pass walks it twice.
//
// Hidden entries (as the platform defines them) are neither listed nor
// entered. A link is listed by what it points to and never entered; a link
// whose target is gone is left out. Only regular files and directories are
// listed: a device, a pipe or a socket, or a link to one, is not content to
// synchronise, and reading one can block for ever.
namespace DirWalk {

enum class Listing {
    Files, // regular files, and links to them
    Dirs,  // directories, and links to them
};

// One entry of a directory as its listing shows it, hidden ones included: a
// name, whether it leads to a directory, and for anything else the size and
// modification time of what it leads to (a link's target; 0 for a link whose
// target is gone). Where the listing itself tells them (Windows), they are the
// listing's; elsewhere a file the walk hands to `take` is not measured, since
// reading it tells them anyway.
struct Entry
{
    QString name;
    bool dir = false;
    bool measured = true;
    qint64 size = 0;
    qint64 modifiedMs = 0;
};

// Every entry of the directories a walk lists, for those of them it wants:
// the watched folders, whose listings the engine keeps, come from the scan's
// own walk instead of a second one. entry() for a file to be taken comes just
// before take() for it.
class EntryObserver
{
public:
    virtual ~EntryObserver() = default;
    virtual bool wantsEntries(const QString &dirPath) = 0;
    virtual void entry(const QString &dirPath, const Entry &entry) = 0;
    // Every directory the walk comes to, as a Dirs listing hands them to
    // `take` (links to directories included), in a Files listing too: the
    // watcher after a pass watches the folders the scan's walk found.
    virtual void directory(const QString &path) { Q_UNUSED(path); }
};

// `unreadable`, when given, receives every directory that could not be listed
// (in full) and every entry whose kind could not be read, for any reason but
// that it is gone: what lies there is unknown, not absent. The root itself is
// reported too.
void list(const QString &root, Listing listing, const std::function<void(const QString &path)> &take,
          const std::function<void(const QString &path)> &unreadable = {}, EntryObserver *observer = nullptr);

// Every entry of one directory, measured, hidden ones included, as `list`
// shows them to an observer. False when it cannot be listed (in full).
bool entries(const QString &dirPath, const std::function<void(const Entry &entry)> &take);

// Whether the entry at the path is what the walk counts as a link, whatever it
// points to: a symbolic link, and on Windows also a junction or a volume mount
// point, which the library's isSymLink() does not report.
bool isLink(const QString &path);

} // namespace DirWalk
