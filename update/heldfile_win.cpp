#include "heldfile.h"

#include "filereader_p.h"
#include "win32path_win.h"

#include <windows.h>

namespace {

HANDLE nativeHandle(qintptr handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

} // namespace

bool HeldFile::hold(const QString &path)
{
    release();
    // Shared for reading only: writing, renaming and deleting all need an
    // access this handle's sharing refuses, for as long as it stays open.
    // Starting the file as a program still works (the loader opens it to read
    // and execute, sharing reading), and so does a program reading itself.
    const HANDLE opened = CreateFileW(win32Path(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (opened == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(opened) != FILE_TYPE_DISK || !GetFileInformationByHandle(opened, &info)
        || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(opened);
        return false;
    }
    handle = reinterpret_cast<qintptr>(opened);
    return true;
}

QString HeldFile::sha256()
{
    const HANDLE file = nativeHandle(handle);
    LARGE_INTEGER start = {};
    LARGE_INTEGER size = {};
    if (!isHeld() || !SetFilePointerEx(file, start, nullptr, FILE_BEGIN) || !GetFileSizeEx(file, &size))
        return QString();
    return FileReaderDetail::digestOfReads(
        [file](char *buffer, qint64 length) -> qint64 {
            DWORD n = 0;
            if (!ReadFile(file, buffer, DWORD(length), &n, nullptr))
                return -1;
            return qint64(n);
        },
        qint64(size.QuadPart));
}

void HeldFile::release()
{
    if (!isHeld())
        return;
    CloseHandle(nativeHandle(handle));
    handle = -1;
}
