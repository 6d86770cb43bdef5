#include "dirwalk.h"

#include <QByteArrayView>
#include <QFile>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <vector>

// Hidden means a name that begins with "." here. The type comes from the
// directory entry, and only links (and entries of unknown type) cost a stat.
// Names that are not UTF-8 are skipped, entries and folders alike, as the
// library skips them.

namespace {

enum class Type { File, Dir, Other };

Type typeOf(mode_t mode)
{
    if (S_ISREG(mode))
        return Type::File;
    if (S_ISDIR(mode))
        return Type::Dir;
    return Type::Other;
}

// What an entry of a listing leads to, as QFileInfo would show it: the
// target of a link; a link whose target is gone counts as a file of size 0.
DirWalk::Entry measured(int dirFd, const char *name)
{
    DirWalk::Entry entry;
    entry.name = QFile::decodeName(name);
    struct stat status;
    if (::fstatat(dirFd, name, &status, 0) != 0)
        return entry;
    entry.dir = S_ISDIR(status.st_mode);
    if (!entry.dir) {
        entry.size = qint64(status.st_size);
        entry.modifiedMs = qint64(status.st_mtim.tv_sec) * 1000 + status.st_mtim.tv_nsec / 1000000;
    }
    return entry;
}

} // namespace

bool DirWalk::entries(const QString &dirPath, const std::function<void(const Entry &entry)> &take)
{
    DIR *dir = ::opendir(QFile::encodeName(dirPath).constData());
    if (!dir)
        return false;
    bool whole = true;
    for (;;) {
        errno = 0;
        const struct dirent *entry = ::readdir(dir);
        if (!entry) {
            whole = errno == 0;
            break;
        }
        const char *name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        if (!QByteArrayView(name).isValidUtf8())
            continue;
        take(measured(::dirfd(dir), name));
    }
    ::closedir(dir);
    return whole;
}

void DirWalk::list(const QString &root, Listing listing, const std::function<void(const QString &path)> &take,
                   const std::function<void(const QString &path)> &unreadable, EntryObserver *observer)
{
    const auto cannotRead = [&unreadable](const QString &path) {
        // gone since it was listed: nothing is there to be unknown
        if (errno != ENOENT && errno != ENOTDIR && unreadable)
            unreadable(path);
    };
    std::vector<QString> pending{root};
    while (!pending.empty()) {
        const QString dirPath = pending.back();
        pending.pop_back();
        DIR *dir = ::opendir(QFile::encodeName(dirPath).constData());
        if (!dir) {
            cannotRead(dirPath);
            continue;
        }
        const QString prefix = dirPath.endsWith(QLatin1Char('/')) ? dirPath : dirPath + QLatin1Char('/');
        const bool observed = observer && observer->wantsEntries(dirPath);
        for (;;) {
            errno = 0;
            const struct dirent *entry = ::readdir(dir);
            if (!entry) {
                // the end, or a listing cut short
                if (errno != 0)
                    cannotRead(dirPath);
                break;
            }
            const char *name = entry->d_name;
            if (name[0] == '.') {
                // ".", ".." and hidden entries: neither listed nor entered
                if (observed && name[1] != '\0' && !(name[1] == '.' && name[2] == '\0')
                    && QByteArrayView(name).isValidUtf8())
                    observer->entry(dirPath, measured(::dirfd(dir), name));
                continue;
            }
            if (!QByteArrayView(name).isValidUtf8())
                continue;
            if (observed && entry->d_type != DT_REG && entry->d_type != DT_DIR)
                observer->entry(dirPath, measured(::dirfd(dir), name));
            // a file in the folder listing is settled by its entry alone
            if (entry->d_type == DT_REG && listing == Listing::Dirs) {
                if (observed)
                    observer->entry(dirPath, measured(::dirfd(dir), name));
                continue;
            }

            bool link = entry->d_type == DT_LNK;
            Type type = entry->d_type == DT_REG ? Type::File : entry->d_type == DT_DIR ? Type::Dir : Type::Other;
            struct stat status;
            if (entry->d_type == DT_UNKNOWN) {
                if (::fstatat(::dirfd(dir), name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
                    cannotRead(prefix + QFile::decodeName(name));
                    continue;
                }
                link = S_ISLNK(status.st_mode);
                type = typeOf(status.st_mode);
            }
            // what the link points to now; a broken link stays Other
            if (link) {
                type = Type::Other;
                if (::fstatat(::dirfd(dir), name, &status, 0) == 0)
                    type = typeOf(status.st_mode);
                else
                    cannotRead(prefix + QFile::decodeName(name));
            }
            if (type == Type::Other)
                continue;

            const QString path = prefix + QFile::decodeName(name);
            if (observed && (entry->d_type == DT_REG || entry->d_type == DT_DIR)) {
                Entry seen;
                seen.name = path.mid(prefix.size());
                seen.dir = type == Type::Dir;
                // a file's read tells its size and time
                seen.measured = seen.dir;
                observer->entry(dirPath, seen);
            }
            if (observer && type == Type::Dir)
                observer->directory(path);
            if (type == Type::Dir && !link)
                pending.push_back(path);
            if (type == (listing == Listing::Files ? Type::File : Type::Dir))
                take(path);
        }
        ::closedir(dir);
    }
}

bool DirWalk::isLink(const QString &path)
{
    struct stat status;
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 && S_ISLNK(status.st_mode);
}
