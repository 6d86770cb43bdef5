// The Qt-free Windows pieces, run for real under Wine: the data-protection
// wrapper against Crypt32 and the Windows path rule.
#include "dpapi_win.h"
#include "pathrules.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

int passed = 0;
int failed = 0;

void check(bool ok, const char *name, const std::string &detail = std::string())
{
    if (ok) {
        ++passed;
        std::printf("PASS: %s\n", name);
    } else {
        ++failed;
        std::printf("FAIL: %s %s\n", name, detail.c_str());
    }
}

std::string describe(const std::u16string &text)
{
    std::string out;
    for (char16_t c : text)
        out += (c < 128) ? char(c) : '?';
    return out;
}

void dataProtection()
{
    const std::vector<std::pair<const char *, std::string>> cases = {
        {"ascii password", "parola123"},
        {"empty password", ""},
        {"non-ASCII password", "\xC5\x9F" "ifre-\xC4\x9E\xC3\xBC\xC4\xB0-\xE6\x97\xA5\xE6\x9C\xAC"},
        {"password with NUL and quotes", std::string("a\0b'\"c", 6)},
    };
    for (const auto &c : cases) {
        std::string blob;
        std::string back = "unchanged";
        const bool protectedOk = Dpapi::protect(c.second, &blob);
        const bool unprotectedOk = protectedOk && Dpapi::unprotect(blob, &back);
        check(protectedOk && unprotectedOk && back == c.second && blob != c.second, c.first);
    }

    std::string blob;
    Dpapi::protect("gizli", &blob);
    // the encrypted data and its signature sit at the end of the blob (Wine does
    // not authenticate the header fields in front of them; Windows does)
    std::string out;
    for (size_t fromEnd : {size_t(1), size_t(20), size_t(40)}) {
        std::string damaged = blob;
        damaged[damaged.size() - fromEnd] = char(damaged[damaged.size() - fromEnd] ^ 0x5a);
        out = "unchanged";
        const std::string name = "damaged blob fails (byte " + std::to_string(fromEnd) + " from the end)";
        check(!Dpapi::unprotect(damaged, &out) && out == "unchanged", name.c_str());
    }
    check(!Dpapi::unprotect(blob.substr(0, blob.size() - 7), &out), "truncated blob fails");
    check(!Dpapi::unprotect(std::string(), &out), "empty blob fails");

    // the description stored with the blob is what Windows reports back
    DATA_BLOB in;
    in.pbData = reinterpret_cast<BYTE *>(blob.data());
    in.cbData = DWORD(blob.size());
    DATA_BLOB plain = {0, nullptr};
    LPWSTR description = nullptr;
    const bool ok = CryptUnprotectData(&in, &description, nullptr, nullptr, nullptr, 0, &plain);
    check(ok && description && std::wstring(description) == L"Kumat Sync", "description is \"Kumat Sync\"");
    if (description)
        LocalFree(description);
    if (plain.pbData)
        LocalFree(plain.pbData);
}

void pathRules()
{
    const std::vector<std::u16string> refused = {
        u"CON", u"con", u"nul.txt", u"NUL.tar.gz", u"aux .txt", u"Prn", u"COM1", u"com9.log", u"LPT1",
        u"lpt9", u"a/CON/b.txt", u"dir\\nul", u"a.txt.", u"a.txt ", u"klasor./x", u"klasor /x", u"..",
        u"COM\u00B9",
    };
    const std::vector<std::u16string> accepted = {
        u"a.txt", u"console.txt", u"CONX", u"com10", u"COM0", u"LPT", u"nulled/a", u"a/b/c.txt",
        u".profil", u"a. b", u"x/ a", u"rapor.pdf", u"\u015Fimdi/\u00E7ay.txt",
    };
    for (const auto &p : refused)
        check(!platformKeepsPathNames(p), ("refused: " + describe(p)).c_str());
    for (const auto &p : accepted)
        check(platformKeepsPathNames(p), ("accepted: " + describe(p)).c_str());
}

} // namespace

int wmain()
{
    dataProtection();
    pathRules();
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
