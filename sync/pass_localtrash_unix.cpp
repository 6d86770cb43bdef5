#include "pass_localtrash.h"

bool LocalTrash::keepsFilesAt(const QString &absolutePath)
{
    // The freedesktop trash either takes the file (home trash or the
    // volume's own) or refuses; it never deletes.
    Q_UNUSED(absolutePath);
    return true;
}
