#include "traydesktop.h"

#include <QByteArray>
#include <QList>
#include <QStandardPaths>
#include <QSystemTrayIcon>

#include <csignal>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

namespace {

pid_t spawn(const QList<QByteArray> &arguments, int closeInChild)
{
    const pid_t pid = fork();
    if (pid == 0) {
        // the display goes with the test, should it die
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (closeInChild >= 0)
            close(closeInChild);
        std::vector<char *> argv;
        for (const QByteArray &a : arguments)
            argv.push_back(const_cast<char *>(a.constData()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

} // namespace

QString TrayDesktop::start()
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    const QString trayer = QStandardPaths::findExecutable(QStringLiteral("trayer"));
    if (xvfb.isEmpty() || trayer.isEmpty())
        return QStringLiteral("Xvfb or trayer is not installed (Debian packages xvfb and trayer)");
    int fds[2];
    if (pipe(fds) != 0)
        return QStringLiteral("no pipe");
    xvfbPid = spawn({"Xvfb", "-displayfd", QByteArray::number(fds[1]), "-screen", "0", "1024x768x24", "-nolisten",
                     "tcp"},
                    fds[0]);
    close(fds[1]);
    QByteArray number;
    char c = 0;
    while (read(fds[0], &c, 1) == 1 && c != '\n')
        number += c;
    close(fds[0]);
    if (number.isEmpty())
        return QStringLiteral("Xvfb did not start");
    qputenv("DISPLAY", ":" + number);
    qputenv("QT_QPA_PLATFORM", "xcb");
    trayerPid = spawn({"trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "120",
                       "--height", "32", "--SetDockType", "true"},
                      -1);
    return QString();
}

void TrayDesktop::stop()
{
    for (qint64 *pid : {&trayerPid, &xvfbPid}) {
        if (*pid > 0) {
            kill(pid_t(*pid), SIGTERM);
            waitpid(pid_t(*pid), nullptr, 0);
            *pid = 0;
        }
    }
}

bool TrayDesktop::holdsIcon(const QSystemTrayIcon *icon)
{
    // the tray host gives the icon's window its place
    return icon->isVisible() && icon->geometry().isValid();
}

bool TrayDesktop::balloonsReadable()
{
    // Qt draws them as widgets of its own
    return true;
}
