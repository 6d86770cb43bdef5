#include "singlecopy_p.h"

#include <QLocalSocket>

#include <windows.h>
#include <lmcons.h>

namespace SingleCopyPlatform {

QString userKey()
{
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    wchar_t user[UNLEN + 1];
    DWORD size = sizeof(user) / sizeof(user[0]);
    const QString userName = GetUserNameW(user, &size) ? QString::fromWCharArray(user) : qEnvironmentVariable("USERNAME");
    return QStringLiteral("session:%1:user:%2").arg(session).arg(userName);
}

void letPeerTakeForeground(const QLocalSocket &socket)
{
    ULONG serverProcess = 0;
    if (GetNamedPipeServerProcessId(reinterpret_cast<HANDLE>(socket.socketDescriptor()), &serverProcess))
        AllowSetForegroundWindow(serverProcess);
}

} // namespace SingleCopyPlatform
