// Reads the version resource linked into this very executable, the way Windows
// Explorer does, and prints every string of it, one "Name=Value" per line.
#include <windows.h>

#include <cstdio>
#include <vector>

int main()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &handle);
    if (size == 0) {
        std::printf("no version resource\n");
        return 1;
    }
    std::vector<char> data(size);
    if (!GetFileVersionInfoW(path, 0, size, data.data()))
        return 2;
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    if (VerQueryValueW(data.data(), L"\\", reinterpret_cast<void **>(&fixed), &length) && fixed) {
        std::printf("FileVersionBinary=%u.%u.%u.%u\n", unsigned(HIWORD(fixed->dwFileVersionMS)),
                    unsigned(LOWORD(fixed->dwFileVersionMS)), unsigned(HIWORD(fixed->dwFileVersionLS)), unsigned(LOWORD(fixed->dwFileVersionLS)));
        std::printf("ProductVersionBinary=%u.%u.%u.%u\n", unsigned(HIWORD(fixed->dwProductVersionMS)),
                    unsigned(LOWORD(fixed->dwProductVersionMS)), unsigned(HIWORD(fixed->dwProductVersionLS)),
                    unsigned(LOWORD(fixed->dwProductVersionLS)));
    }
    const wchar_t *names[] = {L"CompanyName", L"FileDescription", L"FileVersion", L"InternalName",
                              L"OriginalFilename", L"ProductName", L"ProductVersion"};
    for (const wchar_t *name : names) {
        wchar_t key[128];
        swprintf(key, 128, L"\\StringFileInfo\\040904b0\\%ls", name);
        wchar_t *value = nullptr;
        if (VerQueryValueW(data.data(), key, reinterpret_cast<void **>(&value), &length) && value)
            std::printf("%ls=%ls\n", name, value);
        else
            std::printf("%ls missing\n", name);
    }
    return 0;
}
