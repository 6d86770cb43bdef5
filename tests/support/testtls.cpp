#include "testtls.h"

#include "testplatform.h"
#include "testprocess.h"
#include "vendor.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSslCertificate>
#include <QSslKey>
#include <QTemporaryDir>

namespace {

struct Material
{
    QTemporaryDir dir;
    bool ok = false;
};

bool runOpenssl(const QString &workDir, const QStringList &arguments)
{
    QProcess process;
    process.setWorkingDirectory(workDir);
    process.setProcessChannelMode(QProcess::MergedChannels);
    if (!TestProcess::start(process, QStringLiteral("openssl"), arguments, 30000) || !process.waitForFinished(60000)
        || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        // how it ended too: under Wine a stand-in that lost its broker ends
        // with 127 and says nothing
        qWarning("openssl %s failed (state %d, exit status %d, code %d, %s): %s",
                 qPrintable(arguments.join(QLatin1Char(' '))), int(process.state()), int(process.exitStatus()),
                 process.exitCode(), qPrintable(process.errorString()), process.readAll().constData());
        return false;
    }
    return true;
}

// Test processes that run at the same time share the Windows root store of
// their Wine prefix, where an issuer is looked up by name: each process's
// authority needs a name of its own.
QString caSubject()
{
    return QStringLiteral("/CN=Kumat Test CA %1-%2")
        .arg(QCoreApplication::applicationPid())
        .arg(QRandomGenerator::global()->generate());
}

Material &material()
{
    static Material m;
    static bool made = false;
    if (made)
        return m;
    made = true;
    const QString d = m.dir.path();
    QFile ext(d + QStringLiteral("/server.ext"));
    if (!ext.open(QIODevice::WriteOnly))
        return m;
    // also the update host's name, which the whole-update test points at a
    // loopback server through a hosts entry of its own
    ext.write("basicConstraints=CA:FALSE\n"
              "keyUsage=digitalSignature,keyEncipherment\n"
              "extendedKeyUsage=serverAuth\n"
              "subjectAltName=DNS:localhost,IP:127.0.0.1,DNS:");
    ext.write(Vendor::host);
    ext.write("\n");
    ext.close();
    m.ok = runOpenssl(d, {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                          "-keyout", "ca.key", "-out", "ca.pem", "-days", "2", "-subj", caSubject(),
                          "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"})
        && runOpenssl(d, {"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
                          "server.key", "-out", "server.csr", "-subj", "/CN=localhost"})
        && runOpenssl(d, {"x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                          "-CAcreateserial", "-out", "server.pem", "-days", "2", "-extfile", "server.ext"});
    return m;
}

} // namespace

namespace TestTls {

bool ensure()
{
    static bool trusted = false;
    Material &m = material();
    if (!m.ok)
        return false;
    if (!trusted) {
        if (!TestPlatform::trustCertificateAuthority(caCertificatePath()))
            return false;
        if (!systemCheckHolds())
            return false;
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.addCaCertificates(caCertificatePath(), QSsl::Pem);
        QSslConfiguration::setDefaultConfiguration(config);
        trusted = true;
    }
    return true;
}

bool systemCheckHolds()
{
    if (TestPlatform::certificateSignatureChecks(certificatePath(), caCertificatePath()))
        return true;
    // scripts/wine-startup-failures knows this line word for word
    qWarning("kumat-test: the system's certificate check fails in this process: it finds the signature "
             "of a certificate just made invalid");
    return false;
}

QString directory()
{
    return material().dir.path();
}

QString caCertificatePath()
{
    return directory() + QStringLiteral("/ca.pem");
}

QString certificatePath()
{
    return directory() + QStringLiteral("/server.pem");
}

QString keyPath()
{
    return directory() + QStringLiteral("/server.key");
}

QSslConfiguration serverConfiguration()
{
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    QFile certFile(certificatePath());
    QFile keyFile(keyPath());
    if (certFile.open(QIODevice::ReadOnly) && keyFile.open(QIODevice::ReadOnly)) {
        config.setLocalCertificate(QSslCertificate(&certFile, QSsl::Pem));
        config.setPrivateKey(QSslKey(&keyFile, QSsl::Ec, QSsl::Pem));
    }
    config.setPeerVerifyMode(QSslSocket::VerifyNone);
    return config;
}

} // namespace TestTls
