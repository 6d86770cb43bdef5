#include "pathrules.h"

// POSIX file systems store every name they accept byte for byte.
bool platformKeepsPathNames(const std::u16string &)
{
    return true;
}

bool platformNamesIgnoreCase()
{
    return false;
}
