#pragma once

#include <string>

// Whether the platform stores an entry at this relative path under exactly the
// name given. Windows silently maps some names elsewhere ("a.txt." and "a.txt "
// onto "a.txt", "CON" or "nul.txt" onto devices), so two different server
// paths could reach one local file, or a write could reach a device. Kept free
// of Qt so the Windows rule can be built and tested anywhere.
//
// The path uses "/" or "\" as separators and should already be cleaned; a
// "." or ".." component is refused where the rule looks at trailing dots.
bool platformKeepsPathNames(const std::u16string &relativePath);

// Whether the platform's file systems take two names differing only in letter
// case for one entry (Windows), so that the engine's own names must be matched
// without regard to case there.
bool platformNamesIgnoreCase();
