#include "pathrules.h"

#include <cstddef>

namespace {

char16_t upper(char16_t c)
{
    return (c >= u'a' && c <= u'z') ? char16_t(c - u'a' + u'A') : c;
}

bool equalsUpper(const std::u16string &text, const char16_t *word)
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
bool isReservedDeviceName(const std::u16string &component)
{
    std::u16string stem = component.substr(0, component.find(u'.'));
    while (!stem.empty() && stem.back() == u' ')
        stem.pop_back();
    if (equalsUpper(stem, u"CON") || equalsUpper(stem, u"PRN") || equalsUpper(stem, u"AUX")
        || equalsUpper(stem, u"NUL"))
        return true;
    if (stem.size() == 4 && isPortDigit(stem[3])) {
        const std::u16string prefix = stem.substr(0, 3);
        return equalsUpper(prefix, u"COM") || equalsUpper(prefix, u"LPT");
    }
    return false;
}

bool componentKeepsName(const std::u16string &component)
{
    if (component.empty())
        return true; // repeated separators; the caller's cleaning collapses them
    const char16_t last = component.back();
    if (last == u'.' || last == u' ')
        return false;
    return !isReservedDeviceName(component);
}

} // namespace

bool platformKeepsPathNames(const std::u16string &relativePath)
{
    std::size_t begin = 0;
    while (begin <= relativePath.size()) {
        std::size_t end = relativePath.find_first_of(u"/\\", begin);
        if (end == std::u16string::npos)
            end = relativePath.size();
        if (!componentKeepsName(relativePath.substr(begin, end - begin)))
            return false;
        begin = end + 1;
    }
    return true;
}

bool platformNamesIgnoreCase()
{
    return true;
}
