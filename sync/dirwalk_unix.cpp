#include "dirwalk.h"

#include <QByteArrayView>
#include <QFile>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <vector>

// The library's rules, for the two listings: hidden means a name that begins
// with "."; an entry that is neither a file, a directory nor a link, and a
// link whose target is gone, count as system entries and are left out; a link
// is listed by what it points to; only real directories that are not hidden
// are descended into. The type comes from the directory entry, and only links
// (and entries of unknown type) cost a stat. Names that are not UTF-8 are
// skipped, entries and folders alike.

namespace {

enum class Type { File, Dir, Other, Missing };

Type typeOf(const struct stat &status)
{
    if (S_ISREG(status.st_mode))
        return Type::File;
    if (S_ISDIR(status.st_mode))
        return Type::Dir;
    return Type::Other;
}

} // namespace

void DirWalk::list(const QString &root, Listing listing, const std::function<void(const QString &path)> &take)
{
    std::vector<QString> pending{root};
    while (!pending.empty()) {
        const QString dirPath = pending.back();
        pending.pop_back();
        DIR *dir = ::opendir(QFile::encodeName(dirPath).constData());
        if (!dir)
            continue;
        const QString prefix = dirPath.endsWith(QLatin1Char('/')) ? dirPath : dirPath + QLatin1Char('/');
        while (const struct dirent *entry = ::readdir(dir)) {
            const char *name = entry->d_name;
            if (name[0] == '.')
                continue; // ".", ".." and hidden entries: neither listed nor entered
            // the library passes over names that are not UTF-8 altogether
            if (!QByteArrayView(name).isValidUtf8())
                continue;
            // a file in the folder listing is settled by its entry alone
            if (entry->d_type == DT_REG && listing == Listing::Dirs)
                continue;
            const QString path = prefix + QFile::decodeName(name);

            bool link = false;
            Type type = Type::Other;
            unsigned char kind = entry->d_type;
            struct stat status;
            if (kind == DT_UNKNOWN) {
                if (::fstatat(::dirfd(dir), name, &status, AT_SYMLINK_NOFOLLOW) != 0)
                    continue;
                kind = S_ISLNK(status.st_mode) ? DT_LNK : S_ISDIR(status.st_mode) ? DT_DIR : S_ISREG(status.st_mode) ? DT_REG : DT_FIFO;
            }
            switch (kind) {
            case DT_REG:
                type = Type::File;
                break;
            case DT_DIR:
                type = Type::Dir;
                break;
            case DT_LNK:
                link = true;
                type = ::fstatat(::dirfd(dir), name, &status, 0) == 0 ? typeOf(status) : Type::Missing;
                break;
            default:
                type = Type::Other;
            }

            if (type == Type::Dir && !link)
                pending.push_back(path);

            // a system entry (no file, directory or link; a broken link) is never listed
            if (type == Type::Missing || (!link && type == Type::Other))
                continue;
            const bool listed = listing == Listing::Files ? type != Type::Dir : type != Type::File;
            if (listed)
                take(path);
        }
        ::closedir(dir);
    }
}
