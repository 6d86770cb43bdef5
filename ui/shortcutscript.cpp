#include "shortcutscript.h"

namespace {

std::wstring quoted(const std::wstring &text)
{
    std::wstring out;
    out.reserve(text.size() + 2);
    out += L'\'';
    for (wchar_t c : text) {
        // PowerShell also takes the typographic single quotes as quote marks
        if (c == L'\'' || c == L'\u2018' || c == L'\u2019' || c == L'\u201A' || c == L'\u201B')
            out += c;
        out += c;
    }
    out += L'\'';
    return out;
}

} // namespace

std::wstring shortcutScript(const std::wstring &shortcutPath, const std::wstring &targetPath)
{
    return L"$s=(New-Object -ComObject WScript.Shell).CreateShortcut(" + quoted(shortcutPath)
        + L");$s.TargetPath=" + quoted(targetPath) + L";$s.Save()";
}
