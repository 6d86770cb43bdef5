#pragma once

#include <QString>

class QSystemTrayIcon;

// A desktop with a real system tray for the tray tests, made ready before the
// application starts: on Linux a virtual X display with a tray host on it,
// started here and ended with this process; on Windows the platform's own
// (under Wine, the virtual display and tray host that the test runner starts).
// start() returns why there is none, or nothing.
class TrayDesktop
{
public:
    QString start();
    void stop();
    // The icon sits in the desktop's tray (not just Qt's word for it).
    static bool holdsIcon(const QSystemTrayIcon *icon);
    // Where the tray draws the balloons itself, their text cannot be read back.
    static bool balloonsReadable();
    ~TrayDesktop() { stop(); }

private:
    qint64 xvfbPid = 0;
    qint64 trayerPid = 0;
};
