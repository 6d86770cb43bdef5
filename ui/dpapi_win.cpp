#include "dpapi_win.h"

#include <windows.h>
#include <wincrypt.h>

namespace Dpapi {

bool protect(const std::string &plain, std::string *blob)
{
    DATA_BLOB in;
    in.pbData = reinterpret_cast<BYTE *>(const_cast<char *>(plain.data()));
    in.cbData = static_cast<DWORD>(plain.size());
    DATA_BLOB out = {0, nullptr};
    if (!CryptProtectData(&in, L"Kumat Sync", nullptr, nullptr, nullptr, 0, &out))
        return false;
    blob->assign(reinterpret_cast<const char *>(out.pbData), out.cbData);
    LocalFree(out.pbData);
    return true;
}

bool unprotect(const std::string &blob, std::string *plain)
{
    DATA_BLOB in;
    in.pbData = reinterpret_cast<BYTE *>(const_cast<char *>(blob.data()));
    in.cbData = static_cast<DWORD>(blob.size());
    DATA_BLOB out = {0, nullptr};
    if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, 0, &out))
        return false;
    plain->assign(reinterpret_cast<const char *>(out.pbData), out.cbData);
    if (out.pbData)
        LocalFree(out.pbData);
    return true;
}

} // namespace Dpapi
