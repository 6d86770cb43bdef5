#pragma once

#include <cstddef>
#include <string_view>

// Whether the platform stores an entry at this relative path under exactly the
// name given. Windows silently maps some names elsewhere ("a.txt." and "a.txt "
// onto "a.txt", "CON" or "nul.txt" onto devices), so two different server
// paths could reach one local file, or a write could reach a device. Kept free
// of Qt so the Windows rule can be built and tested anywhere.
//
// The path uses "/" or "\" as separators and should already be cleaned; a
// "." or ".." component is refused where the rule looks at trailing dots.
bool platformKeepsPathNames(std::u16string_view relativePath);

// Whether an entry at this relative path below the folder at `folder` (an
// absolute path) can exist on this platform at all: every name kept as given
// (above), no character the platform refuses in a name, no name longer than its
// file systems take (255 bytes of UTF-8 on Linux, 255 UTF-16 units on Windows),
// the whole absolute path within what the system opens (PATH_MAX on Linux, the
// long form's 32,767 units on Windows), and no nesting deeper than
// deepestPathLevels. A server path that fails could only ever be made part of
// the way down and fetched in vain; a local one could never come back here.
// Cheap, linear in the path: the intake asks it for every item.
bool platformCanHoldPath(std::u16string_view folder, std::u16string_view relativePath);

// Far below what the length limits allow (about 2,000 levels on Linux, 16,000 on
// Windows), far above any tree people keep: a server path this deep is taken
// for what it is rather than made into thousands of nested folders.
constexpr std::size_t deepestPathLevels = 256;

// Whether the platform's file systems take two names differing only in letter
// case for one entry (Windows), so that the engine's own names must be matched
// without regard to case there.
bool platformNamesIgnoreCase();
