#include "dirwalk.h"

#include <QDirIterator>

// Hidden and system entries are the platform's attributes here; the library
// knows them.
void DirWalk::list(const QString &root, Listing listing, const std::function<void(const QString &path)> &take)
{
    const QDir::Filters filters = (listing == Listing::Files ? QDir::Files : QDir::Dirs) | QDir::NoDotAndDotDot;
    QDirIterator it(root, filters, QDirIterator::Subdirectories);
    while (it.hasNext())
        take(it.next());
}
