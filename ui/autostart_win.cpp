#include "autostart.h"

#include "shortcutscript.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>

namespace AutoStart {

QString entryPath()
{
    // the documents folder's parent is taken to be the user's profile folder
    const QString startup = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation)
        + QStringLiteral("/../Start Menu/Programs/Startup");
    return startup + QStringLiteral("/Zelnor Kumat Senkronizasyon.lnk");
}

bool enable(const QString &executable)
{
    const std::wstring script = shortcutScript(entryPath().toStdWString(), executable.toStdWString());
    // waits for PowerShell on purpose: the shortcut exists when this returns
    const int code = QProcess::execute(QStringLiteral("powershell"),
                                       {QStringLiteral("-Command"), QString::fromStdWString(script)});
    return code == 0;
}

void disable()
{
    QFile::remove(entryPath());
}

} // namespace AutoStart
