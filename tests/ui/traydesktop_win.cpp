#include "traydesktop.h"

#include "testplatform.h"

#include <QByteArray>
#include <QSystemTrayIcon>

#include <windows.h>

QString TrayDesktop::start()
{
    // Wine draws on an X display only when the test runner gave it one; with
    // its null driver the tray would be a make-believe one
    if (TestPlatform::underWine() && qEnvironmentVariable("KUMAT_WINE_DESKTOP") != QLatin1String("1"))
        return QStringLiteral("under Wine only on the test runner's X display (KUMAT_WINE_DESKTOP=1)");
    qputenv("QT_QPA_PLATFORM", "windows");
    return QString();
}

void TrayDesktop::stop() {}

bool TrayDesktop::holdsIcon(const QSystemTrayIcon *icon)
{
    if (!icon->isVisible())
        return false;
    if (!TestPlatform::underWine())
        return true; // the shell accepted it; nothing outside it says where it sits
    // Wine's desktop process docks each icon in the X tray host through a
    // window of this class
    return FindWindowExW(nullptr, nullptr, L"__wine_x11_foreign_window", nullptr) != nullptr;
}

bool TrayDesktop::balloonsReadable()
{
    // the shell shows them, in a process of its own
    return false;
}
