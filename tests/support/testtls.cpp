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

// One DER element with the given tag at pos: its content's start and length,
// pos moved past it.
bool derElement(const QByteArray &der, qsizetype &pos, uchar tag, qsizetype &start, qsizetype &length)
{
    if (pos + 2 > der.size() || uchar(der.at(pos)) != tag)
        return false;
    qsizetype at = pos + 1;
    qsizetype size = uchar(der.at(at++));
    if (size & 0x80) {
        const int bytes = int(size & 0x7f);
        if (bytes == 0 || bytes > 3 || at + bytes > der.size())
            return false;
        size = 0;
        for (int i = 0; i < bytes; ++i)
            size = (size << 8) | uchar(der.at(at++));
    }
    if (at + size > der.size())
        return false;
    start = at;
    length = size;
    pos = at + size;
    return true;
}

// Wine's certificate check (crypt32 of Wine 8) joins an ECDSA signature's r
// and s as they are, without padding each to the curve's 32 bytes: a
// signature whose r or s begins with a zero byte, about one in 128, is
// refused as invalid, and with it every TLS connection of the process that
// made that certificate. Such a certificate is signed again.
bool signatureIsWhole(const QString &pemPath)
{
    const QList<QSslCertificate> certificates = QSslCertificate::fromPath(pemPath, QSsl::Pem);
    if (certificates.isEmpty())
        return false;
    const QByteArray der = certificates.first().toDer();
    qsizetype pos = 0, start = 0, length = 0;
    if (!derElement(der, pos, 0x30, start, length))
        return false;
    pos = start;
    // the signed part, the algorithm, then the signature as a bit string
    if (!derElement(der, pos, 0x30, start, length) || !derElement(der, pos, 0x30, start, length)
        || !derElement(der, pos, 0x03, start, length) || length < 1)
        return false;
    const QByteArray value = der.mid(start + 1, length - 1);
    pos = 0;
    if (!derElement(value, pos, 0x30, start, length))
        return false;
    pos = start;
    for (int half = 0; half < 2; ++half) {
        if (!derElement(value, pos, 0x02, start, length))
            return false;
        while (length > 0 && value.at(start) == 0) {
            ++start;
            --length;
        }
        if (length != 32)
            return false;
    }
    return true;
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
    // each try is refused with a chance of about one in 128
    const auto signedWhole = [&d](const QStringList &arguments, const QString &pem) {
        for (int attempt = 0; attempt < 8; ++attempt) {
            if (!runOpenssl(d, arguments))
                return false;
            if (signatureIsWhole(d + QLatin1Char('/') + pem))
                return true;
        }
        qWarning("%s: no signature with whole halves in 8 tries", qPrintable(pem));
        return false;
    };
    m.ok = signedWhole({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
                        "ca.key", "-out", "ca.pem", "-days", "2", "-subj", caSubject(), "-addext",
                        "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign"},
                       QStringLiteral("ca.pem"))
        && runOpenssl(d, {"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout",
                          "server.key", "-out", "server.csr", "-subj", "/CN=localhost"})
        && signedWhole({"x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                        "-out", "server.pem", "-days", "2", "-extfile", "server.ext"},
                       QStringLiteral("server.pem"));
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
    // Wine's chain check verifies the authority's own signature as well
    if (TestPlatform::certificateSignatureChecks(certificatePath(), caCertificatePath())
        && TestPlatform::certificateSignatureChecks(caCertificatePath(), caCertificatePath()))
        return true;
    qWarning("kumat-test: the system's certificate check finds a signature of the test certificates invalid");
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
