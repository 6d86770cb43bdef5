#pragma once

#include <string>

// The Windows data-protection service, without Qt, so that it can be built and
// tried on its own. Bytes in, bytes out; the blob is bound to the current
// Windows user.
namespace Dpapi {

bool protect(const std::string &plain, std::string *blob);
bool unprotect(const std::string &blob, std::string *plain);

} // namespace Dpapi
