#include "testplatform.h"

#include <QFile>
#include <QFileInfo>

#include <unistd.h>

bool TestPlatform::underWine()
{
    return false;
}

bool TestPlatform::permissionsRefuseThisUser()
{
    return ::geteuid() != 0;
}

bool TestPlatform::trustCertificateAuthority(const QString &)
{
    // OpenSSL takes the authorities of the TLS configuration as they are
    return true;
}

bool TestPlatform::link(const QString &target, const QString &linkPath)
{
    return QFile::link(target, linkPath);
}

bool TestPlatform::makeUnreadableFile(const QString &path)
{
    if (permissionsRefuseThisUser()) {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write("yerel") != 5)
            return false;
        file.close();
        return QFile::setPermissions(path, QFileDevice::Permissions());
    }
    // root reads every ordinary file; a write-only kernel attribute still
    // refuses to open for reading
    const QString refusing = QStringLiteral("/sys/bus/pci/rescan");
    QFile probe(refusing);
    if (!QFileInfo(refusing).isFile() || probe.open(QIODevice::ReadOnly))
        return false;
    return QFile::link(refusing, path);
}

bool TestPlatform::renameLetterCase(const QString &from, const QString &to)
{
    return QFile::rename(from, to);
}
