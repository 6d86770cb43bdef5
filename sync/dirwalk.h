#pragma once

#include <QString>

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

// `unreadable`, when given, receives every directory that could not be listed
// (in full) and every entry whose kind could not be read, for any reason but
// that it is gone: what lies there is unknown, not absent. The root itself is
// reported too.
void list(const QString &root, Listing listing, const std::function<void(const QString &path)> &take,
          const std::function<void(const QString &path)> &unreadable = {});

// Whether the entry at the path is what the walk counts as a link, whatever it
// points to: a symbolic link, and on Windows also a junction or a volume mount
// point, which the library's isSymLink() does not report.
bool isLink(const QString &path);

} // namespace DirWalk
