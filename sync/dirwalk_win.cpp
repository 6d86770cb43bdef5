#include "dirwalk.h"

#include "win32path_win.h"

#include <windows.h>

#include <vector>

// Hidden means the hidden attribute here; a name that begins with "." is an
// ordinary name. A reparse point that stands for another name (a symbolic
// link, a junction, a volume mount point) is a link: listed by what it points
// to and never entered, although the library's isSymLink() does not report a
// junction. Reparse points that are files in their own right (cloud
// placeholders, deduplicated files) are what their attributes say; the ones
// that carry a socket, a pipe or a device are left out.

namespace {

enum class Type { File, Dir, Other };

// Tags the SDK of some compilers lacks.
constexpr DWORD tagAfUnix = 0x80000023;
constexpr DWORD tagLxFifo = 0x80000024;
constexpr DWORD tagLxChr = 0x80000025;
constexpr DWORD tagLxBlk = 0x80000026;

bool standsForAnotherName(DWORD tag)
{
    return (tag & 0x20000000) != 0;
}

bool isSpecialFile(DWORD tag)
{
    return tag == tagAfUnix || tag == tagLxFifo || tag == tagLxChr || tag == tagLxBlk;
}

// What a link leads to now; Other when the target is gone or cannot be reached.
Type targetType(const QString &path)
{
    const std::wstring native = win32Path(path);
    // opening follows the link; backup semantics let a directory be opened
    const HANDLE handle = CreateFileW(native.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return Type::Other;
    Type type = Type::Other;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(handle, &info)) {
        if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            type = Type::Dir;
        else if (GetFileType(handle) == FILE_TYPE_DISK)
            type = Type::File;
    }
    CloseHandle(handle);
    return type;
}

bool isDotOrDotDot(const wchar_t *name)
{
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

// The listing tells size and time of every entry (of a link itself, not of
// its target), so nothing is measured apart.
DirWalk::Entry listed(const WIN32_FIND_DATAW &data)
{
    DirWalk::Entry entry;
    entry.name = QString::fromWCharArray(data.cFileName);
    entry.dir = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!entry.dir) {
        entry.size = qint64((quint64(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
        ULARGE_INTEGER ticks;
        ticks.LowPart = data.ftLastWriteTime.dwLowDateTime;
        ticks.HighPart = data.ftLastWriteTime.dwHighDateTime;
        entry.modifiedMs = ticks.QuadPart == 0 ? 0 : qint64(ticks.QuadPart / 10000) - Q_INT64_C(11644473600000);
    }
    return entry;
}

} // namespace

bool DirWalk::entries(const QString &dirPath, const std::function<void(const Entry &entry)> &take)
{
    const QString prefix = dirPath.endsWith(QLatin1Char('/')) ? dirPath : dirPath + QLatin1Char('/');
    const std::wstring pattern = win32Path(prefix + QLatin1Char('*'));
    WIN32_FIND_DATAW data;
    const HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                                         FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE)
        return false;
    do {
        if (!isDotOrDotDot(data.cFileName))
            take(listed(data));
    } while (FindNextFileW(find, &data));
    const bool whole = GetLastError() == ERROR_NO_MORE_FILES;
    FindClose(find);
    return whole;
}

void DirWalk::list(const QString &root, Listing listing, const std::function<void(const QString &path)> &take,
                   const std::function<void(const QString &path)> &unreadable, EntryObserver *observer)
{
    const auto cannotRead = [&unreadable](const QString &path, DWORD error) {
        // gone since it was listed: nothing is there to be unknown
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND && error != ERROR_DIRECTORY
            && unreadable)
            unreadable(path);
    };
    std::vector<QString> pending{root};
    while (!pending.empty()) {
        const QString dirPath = pending.back();
        pending.pop_back();
        const QString prefix = dirPath.endsWith(QLatin1Char('/')) ? dirPath : dirPath + QLatin1Char('/');
        const std::wstring pattern = win32Path(prefix + QLatin1Char('*'));
        WIN32_FIND_DATAW data;
        const HANDLE find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                                             FIND_FIRST_EX_LARGE_FETCH);
        if (find == INVALID_HANDLE_VALUE) {
            cannotRead(dirPath, GetLastError());
            continue;
        }
        const bool observed = observer && observer->wantsEntries(dirPath);
        do {
            const wchar_t *name = data.cFileName;
            if (isDotOrDotDot(name))
                continue;
            if (observed)
                observer->entry(dirPath, listed(data));
            const DWORD attributes = data.dwFileAttributes;
            if (attributes & FILE_ATTRIBUTE_HIDDEN)
                continue; // neither listed nor entered
            if (attributes & FILE_ATTRIBUTE_DEVICE)
                continue;
            const bool reparse = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
            // dwReserved0 holds the reparse tag of a reparse point
            if (reparse && isSpecialFile(data.dwReserved0))
                continue;
            const bool link = reparse && standsForAnotherName(data.dwReserved0);
            const bool directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
            // a file in the folder listing is settled by its entry alone
            if (!link && !directory && listing == Listing::Dirs)
                continue;

            const QString path = prefix + QString::fromWCharArray(name);
            const Type type = link ? targetType(path) : directory ? Type::Dir : Type::File;
            if (observer && type == Type::Dir)
                observer->directory(path);
            if (type == Type::Dir && !link)
                pending.push_back(path);
            if (type == (listing == Listing::Files ? Type::File : Type::Dir))
                take(path);
        } while (FindNextFileW(find, &data));
        // the end, or a listing cut short
        const DWORD ended = GetLastError();
        if (ended != ERROR_NO_MORE_FILES)
            cannotRead(dirPath, ended);
        FindClose(find);
    }
}

bool DirWalk::isLink(const QString &path)
{
    // the entry itself, as its folder lists it: the reparse tag comes with it
    const std::wstring native = win32Path(path);
    WIN32_FIND_DATAW data;
    const HANDLE find = FindFirstFileExW(native.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE)
        return false;
    FindClose(find);
    return (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && standsForAnotherName(data.dwReserved0);
}
