#include "filesizelimit.h"

bool limitFileSize(qint64)
{
    return false;
}

void liftFileSizeLimit()
{
}
