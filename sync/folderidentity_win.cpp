#include "folderidentity.h"

#include <QDir>

#include <windows.h>

FolderIdentity FolderIdentity::of(const QString &path)
{
    FolderIdentity identity;
    if (path.isEmpty())
        return identity;
    // A directory opens only with backup semantics; no access right is asked
    // for, and every sharing mode is allowed, so the look never gets in the
    // way of the user or of another program working in the folder.
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    const HANDLE handle = CreateFileW(native.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return identity;
    BY_HANDLE_FILE_INFORMATION info;
    const bool known = GetFileInformationByHandle(handle, &info) != 0;
    CloseHandle(handle);
    if (!known || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return identity;
    identity.volume = quint64(info.dwVolumeSerialNumber);
    identity.index = (quint64(info.nFileIndexHigh) << 32) | quint64(info.nFileIndexLow);
    identity.valid = true;
    return identity;
}
