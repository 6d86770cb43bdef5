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

namespace {

QString folderOverride;

QByteArray readEntry()
{
    QFile file(entryPath());
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

} // namespace

void setFolderForTesting(const QString &folder)
{
    folderOverride = folder;
}

QString entryPath()
{
    // $XDG_CONFIG_HOME, or ~/.config when it is unset
    const QString folder = !folderOverride.isEmpty()
        ? folderOverride
        : QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/autostart");
    return folder + QStringLiteral("/zelnor-kumat-sync.desktop");
}

QString target()
{
    // the Exec line's first argument, undoing both layers of desktopExecArgument()
    const QString text = QString::fromUtf8(readEntry());
    for (const QString &line : text.split(u'\n')) {
        if (!line.startsWith(QStringLiteral("Exec=")))
            continue;
        QString value;
        for (qsizetype i = 5; i < line.size(); ++i) {
            QChar c = line.at(i);
            if (c == u'\\' && i + 1 < line.size()) {
                const QChar next = line.at(++i);
                c = next == u'n' ? QChar(u'\n') : next == u't' ? QChar(u'\t') : next == u'r' ? QChar(u'\r') : next;
            }
            value += c;
        }
        if (!value.startsWith(u'"'))
            return value.section(u' ', 0, 0);
        QString argument;
        for (qsizetype i = 1; i < value.size(); ++i) {
            const QChar c = value.at(i);
            if (c == u'"')
                return argument;
            if (c == u'\\' && i + 1 < value.size())
                argument += value.at(++i);
            else if (c == u'%' && i + 1 < value.size() && value.at(i + 1) == u'%')
                argument += value.at(++i);
            else
                argument += c;
        }
        return QString(); // an unterminated quote starts nothing
    }
    return QString();
}

bool enable(const QString &executable)
{
    const QByteArray wanted = desktopEntry(executable).toUtf8();
    if (readEntry() == wanted)
        return true;
    const QString path = entryPath();
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(wanted);
    // whatever the commit said, only the entry read back counts
    return file.commit() && readEntry() == wanted;
}

void disable()
{
    QFile::remove(entryPath());
}

} // namespace AutoStart
