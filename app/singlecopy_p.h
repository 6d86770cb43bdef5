#pragma once

#include <QString>

class QLocalSocket;

namespace SingleCopyPlatform {

// Who runs this process: the user, and on Windows the logon session, whose
// copies are kept apart although they see each other's pipes.
QString userKey();

// Windows lets only the process the user just started take the foreground;
// the later start passes that right on to the running copy at the other end
// of the socket, whose window is to come to the front.
void letPeerTakeForeground(const QLocalSocket &socket);

} // namespace SingleCopyPlatform
