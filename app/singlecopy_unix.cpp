#include "singlecopy_p.h"

#include <unistd.h>

namespace SingleCopyPlatform {

QString userKey()
{
    return QStringLiteral("uid:") + QString::number(::getuid());
}

void letPeerTakeForeground(const QLocalSocket &)
{
    // no right to pass on: the window manager alone decides whether the
    // running copy's window takes the focus or only asks for attention
}

} // namespace SingleCopyPlatform
