#include "pathrules.h"

namespace {

// what the kernel takes: NAME_MAX and PATH_MAX (the latter with its final NUL)
constexpr std::size_t longestName = 255;
constexpr std::size_t longestPath = 4096 - 1;

std::size_t utf8Length(char16_t c, bool &pendingHigh)
{
    // a surrogate pair is one four-byte character, counted on its high half;
    // a lone surrogate, which Qt turns into U+FFFD, takes three bytes like it
    if (c >= 0xD800 && c <= 0xDBFF) {
        pendingHigh = true;
        return 3;
    }
    if (c >= 0xDC00 && c <= 0xDFFF) {
        const bool paired = pendingHigh;
        pendingHigh = false;
        return paired ? 1 : 3;
    }
    pendingHigh = false;
    return c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
}

} // namespace

// POSIX file systems store every name they accept byte for byte.
bool platformKeepsPathNames(std::u16string_view)
{
    return true;
}

bool platformCanHoldPath(std::u16string_view folder, std::u16string_view relativePath)
{
    bool pendingHigh = false;
    std::size_t total = 0;
    for (const char16_t c : folder)
        total += utf8Length(c, pendingHigh);
    pendingHigh = false;
    std::size_t name = 0;
    std::size_t levels = 1;
    total += 1; // the separator after the folder
    for (const char16_t c : relativePath) {
        if (c == u'/') {
            name = 0;
            ++levels;
            ++total;
            pendingHigh = false;
            continue;
        }
        const std::size_t bytes = utf8Length(c, pendingHigh);
        name += bytes;
        total += bytes;
        if (name > longestName || total > longestPath || levels > deepestPathLevels)
            return false;
    }
    return !relativePath.empty() && total <= longestPath && levels <= deepestPathLevels;
}

bool platformNamesIgnoreCase()
{
    return false;
}
