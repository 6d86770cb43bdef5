#include "testplatform.h"

#include <QFile>

#include <unistd.h>

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
