#include "filereader.h"
#include "filereader_p.h"
#include "win32path_win.h"

#include <windows.h>

namespace {

// FILETIME counts 100 ns steps from 1601-01-01; 0 where the file system keeps
// no such time.
qint64 milliseconds(const FILETIME &time)
{
    ULARGE_INTEGER ticks;
    ticks.LowPart = time.dwLowDateTime;
    ticks.HighPart = time.dwHighDateTime;
    if (ticks.QuadPart == 0)
        return 0;
    return qint64(ticks.QuadPart / 10000) - Q_INT64_C(11644473600000);
}

qint64 sizeOf(DWORD high, DWORD low)
{
    return qint64((quint64(high) << 32) | low);
}

} // namespace

FileContent FileReaderDetail::readWith(FileReader::Context &context, const QString &path, const std::atomic<bool> *stop)
{
    FileContent content;
    const std::wstring native = win32Path(path);
    // Shared for reading, writing and deletion: the user's programs go on
    // saving, renaming or removing the file while it is read. Opening follows
    // a link to its target, as reading through it should.
    const HANDLE handle = CreateFileW(native.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        // locked or refused: the times as far as the path still has them
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (GetFileAttributesExW(native.c_str(), GetFileExInfoStandard, &data)) {
            content.size = sizeOf(data.nFileSizeHigh, data.nFileSizeLow);
            content.createdMs = milliseconds(data.ftCreationTime);
            content.modifiedMs = milliseconds(data.ftLastWriteTime);
        }
        return content;
    }
    // the kind of what was opened, not of what the path named a moment ago:
    // a console, a pipe or a device is never read
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(handle, &info)) {
        content.size = sizeOf(info.nFileSizeHigh, info.nFileSizeLow);
        content.createdMs = milliseconds(info.ftCreationTime);
        content.modifiedMs = milliseconds(info.ftLastWriteTime);
        if (GetFileType(handle) == FILE_TYPE_DISK && !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            content.sha256 = FileReaderDetail::digestOfReads(
                context,
                [handle](char *buffer, qint64 length) -> qint64 {
                    DWORD n = 0;
                    if (!ReadFile(handle, buffer, DWORD(length), &n, nullptr))
                        return -1;
                    return qint64(n);
                },
                content.size, stop);
        }
    }
    CloseHandle(handle);
    return content;
}
