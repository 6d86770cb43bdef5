#include "testplatform.h"

#include <QFile>
#include <QFileInfo>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Whether this thread may read and list past permission bits, as root
// normally does; switched in the effective set only, so it comes back.
bool setPermissionOverride(bool on)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    const quint32 bits = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);
    if (on)
        data[0].effective |= bits & data[0].permitted;
    else
        data[0].effective &= ~bits;
    return ::syscall(SYS_capset, &header, data) == 0;
}

} // namespace

bool TestPlatform::underWine()
{
    return false;
}

bool TestPlatform::certificateSignatureChecks(const QString &, const QString &)
{
    // OpenSSL checks the handshakes here, and made the certificate itself
    return true;
}

bool TestPlatform::useStandInRecycleBin()
{
    return true;
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

bool TestPlatform::makeUnreadable(const QString &path)
{
    if (!QFile::setPermissions(path, QFileDevice::Permissions()))
        return false;
    return permissionsRefuseThisUser() || setPermissionOverride(false);
}

bool TestPlatform::makeReadableAgain(const QString &path)
{
    if (!permissionsRefuseThisUser())
        setPermissionOverride(true);
    const QFileInfo info(path);
    QFileDevice::Permissions permissions = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    if (info.isDir())
        permissions |= QFileDevice::ExeOwner;
    return QFile::setPermissions(path, permissions);
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
