#include "autostart.h"
#include "autostart_unix.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace AutoStart {

QString desktopExecArgument(const QString &argument)
{
    // Two layers: the Exec quoting rules (inside double quotes, " ` $ and \
    // take a backslash; % is doubled, as it would start a field code), then the
    // escapes of a string value (\ and control characters).
    QString quoted = QStringLiteral("\"");
    for (const QChar c : argument) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted += u'\\';
        if (c == u'%')
            quoted += u'%';
        quoted += c;
    }
    quoted += u'"';

    QString value;
    for (const QChar c : quoted) {
        switch (c.unicode()) {
        case '\\': value += QStringLiteral("\\\\"); break;
        case '\n': value += QStringLiteral("\\n"); break;
        case '\t': value += QStringLiteral("\\t"); break;
        case '\r': value += QStringLiteral("\\r"); break;
        default: value += c;
        }
    }
    return value;
}

QString desktopEntry(const QString &executable)
{
    return QStringLiteral("[Desktop Entry]\n"
                          "Type=Application\n"
                          "Name=Zelnor Kumat Senkronizasyon\n"
                          "Comment=Güvenli çift yönlü dosya senkronizasyonu\n"
                          "Exec=%1\n"
                          "Terminal=false\n"
                          "X-GNOME-Autostart-enabled=true\n")
        .arg(desktopExecArgument(executable));
}

QString entryPath()
{
    // $XDG_CONFIG_HOME, or ~/.config when it is unset
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/autostart/zelnor-kumat-sync.desktop");
}

bool enable(const QString &executable)
{
    const QString path = entryPath();
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(desktopEntry(executable).toUtf8());
    return file.commit();
}

void disable()
{
    QFile::remove(entryPath());
}

} // namespace AutoStart
