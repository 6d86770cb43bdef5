#include "pathrules.h"

#include <cstddef>

namespace {

char16_t upper(char16_t c)
{
    return (c >= u'a' && c <= u'z') ? char16_t(c - u'a' + u'A') : c;
}

bool equalsUpper(std::u16string_view text, const char16_t *word)
{
    std::size_t i = 0;
    for (; word[i]; ++i) {
        if (i >= text.size() || upper(text[i]) != word[i])
            return false;
    }
    return i == text.size();
}

bool isPortDigit(char16_t c)
{
    // Windows also treats the superscript digits as port numbers ("COM¹").
    return (c >= u'1' && c <= u'9') || c == u'\u00B9' || c == u'\u00B2' || c == u'\u00B3';
}

// The device check looks at the name up to its first dot, ignoring the spaces
// before that dot: "nul", "NUL.txt", "con.tar.gz" and "aux .txt" all open a device.
bool isReservedDeviceName(std::u16string_view component)
{
    std::u16string_view stem = component.substr(0, component.find(u'.'));
    while (!stem.empty() && stem.back() == u' ')
        stem.remove_suffix(1);
    if (equalsUpper(stem, u"CON") || equalsUpper(stem, u"PRN") || equalsUpper(stem, u"AUX")
        || equalsUpper(stem, u"NUL"))
        return true;
    if (stem.size() == 4 && isPortDigit(stem[3])) {
        const std::u16string_view prefix = stem.substr(0, 3);
        return equalsUpper(prefix, u"COM") || equalsUpper(prefix, u"LPT");
    }
    return false;
}

// What Win32 refuses in a name (besides the separators and the colon, which
// the path checks take as structure): a server on another system may send it.
bool isRefusedCharacter(char16_t c)
{
    return c < 0x20 || c == u'<' || c == u'>' || c == u'"' || c == u'|' || c == u'?' || c == u'*';
}

// every Windows file system's limit for one name, in UTF-16 units
constexpr std::size_t longestName = 255;
// what the long form ("\\?\" before the absolute path) lets Win32 open,
// the final NUL included
constexpr std::size_t longestPath = 32767 - 1;

bool componentKeepsName(std::u16string_view component)
{
    if (component.empty())
        return true; // repeated separators; the caller's cleaning collapses them
    const char16_t last = component.back();
    if (last == u'.' || last == u' ')
        return false;
    return !isReservedDeviceName(component);
}

} // namespace

bool platformKeepsPathNames(std::u16string_view relativePath)
{
    std::size_t begin = 0;
    while (begin <= relativePath.size()) {
        std::size_t end = relativePath.find_first_of(u"/\\", begin);
        if (end == std::u16string_view::npos)
            end = relativePath.size();
        if (!componentKeepsName(relativePath.substr(begin, end - begin)))
            return false;
        begin = end + 1;
    }
    return true;
}

bool platformCanHoldPath(std::u16string_view folder, std::u16string_view relativePath)
{
    if (relativePath.empty())
        return false;
    // "\\?\C:\..." or, for a share, "\\?\UNC\server\..." in place of "\\server\..."
    const bool share = folder.size() >= 2 && (folder[0] == u'/' || folder[0] == u'\\')
        && (folder[1] == u'/' || folder[1] == u'\\');
    const std::size_t total = (share ? 6 : 4) + folder.size() + 1 + relativePath.size();
    if (total > longestPath)
        return false;
    std::size_t levels = 1;
    std::size_t begin = 0;
    for (std::size_t i = 0; i <= relativePath.size(); ++i) {
        const bool end = i == relativePath.size();
        if (!end && relativePath[i] != u'/' && relativePath[i] != u'\\') {
            if (isRefusedCharacter(relativePath[i]))
                return false;
            continue;
        }
        if (i - begin > longestName)
            return false;
        if (!end && ++levels > deepestPathLevels)
            return false;
        begin = i + 1;
    }
    return platformKeepsPathNames(relativePath);
}

bool platformNamesIgnoreCase()
{
    return true;
}
