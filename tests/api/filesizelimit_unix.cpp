#include "filesizelimit.h"

#include <csignal>
#include <sys/resource.h>

namespace {
rlimit saved;
bool limited = false;
}

bool limitFileSize(qint64 bytes)
{
    // a write beyond the cap fails with EFBIG instead of killing the process
    std::signal(SIGXFSZ, SIG_IGN);
    if (getrlimit(RLIMIT_FSIZE, &saved) != 0)
        return false;
    rlimit capped = saved;
    capped.rlim_cur = rlim_t(bytes);
    limited = setrlimit(RLIMIT_FSIZE, &capped) == 0;
    return limited;
}

void liftFileSizeLimit()
{
    if (limited)
        setrlimit(RLIMIT_FSIZE, &saved);
    limited = false;
}
