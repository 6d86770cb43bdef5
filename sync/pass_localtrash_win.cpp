#include "pass_localtrash.h"

#include <QDir>

#include <windows.h>

#include <vector>

bool LocalTrash::keepsFilesAt(const QString &absolutePath)
{
    // Network shares and removable drives have no Recycle Bin: a "move to
    // the trash" there deletes the file for good. Only fixed drives keep it.
    const std::wstring path = QDir::toNativeSeparators(absolutePath).toStdWString();
    std::vector<wchar_t> volume(path.size() + MAX_PATH + 1, L'\0');
    if (!GetVolumePathNameW(path.c_str(), volume.data(), DWORD(volume.size())))
        return false;
    return GetDriveTypeW(volume.data()) == DRIVE_FIXED;
}
