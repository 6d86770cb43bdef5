#include "folderlock.h"

#include "win32path_win.h"

#include <windows.h>

bool FolderLock::heldByRunningProgram(const QString &lockPath)
{
    // the holder keeps the file open without letting it be deleted
    const HANDLE handle = CreateFileW(win32Path(lockPath).c_str(), DELETE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
    }
    CloseHandle(handle);
    return false;
}
