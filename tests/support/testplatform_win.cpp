#include "testplatform.h"
#include "testprocess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QSslCertificate>

#include <windows.h>
#include <wincrypt.h>

bool TestPlatform::underWine()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

bool TestPlatform::permissionsRefuseThisUser()
{
    return false;
}

namespace {

// files held open without sharing, as another program holds its data files
QHash<QString, HANDLE> &heldFiles()
{
    static QHash<QString, HANDLE> held;
    return held;
}

} // namespace

bool TestPlatform::makeUnreadable(const QString &path)
{
    // An access list that refuses this user is not kept under Wine; a file
    // that another program holds open without sharing is refused by both.
    if (!QFileInfo(path).isFile() || heldFiles().contains(path))
        return false;
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    const HANDLE handle = CreateFileW(native.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    heldFiles().insert(path, handle);
    return true;
}

bool TestPlatform::makeReadableAgain(const QString &path)
{
    const HANDLE handle = heldFiles().take(path);
    return !handle || CloseHandle(handle);
}

bool TestPlatform::makeUnreadableFile(const QString &)
{
    // the permission bits set only the read-only attribute here
    return false;
}

bool TestPlatform::trustCertificateAuthority(const QString &pemPath)
{
    const QList<QSslCertificate> certificates = QSslCertificate::fromPath(pemPath, QSsl::Pem);
    if (certificates.isEmpty())
        return false;
    // the machine's store: the user's root store asks the user first
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                     CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (!store)
        return false;
    bool added = true;
    for (const QSslCertificate &certificate : certificates) {
        const QByteArray der = certificate.toDer();
        added &= CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING,
                                                  reinterpret_cast<const BYTE *>(der.constData()),
                                                  DWORD(der.size()), CERT_STORE_ADD_REPLACE_EXISTING, nullptr)
            != FALSE;
    }
    CertCloseStore(store, 0);
    return added;
}

bool TestPlatform::certificateSignatureChecks(const QString &certPath, const QString &caPath)
{
    const QList<QSslCertificate> certificates = QSslCertificate::fromPath(certPath, QSsl::Pem);
    const QList<QSslCertificate> authorities = QSslCertificate::fromPath(caPath, QSsl::Pem);
    // files that do not read as certificates are another fault, which the
    // first TLS use of them names
    if (certificates.isEmpty() || authorities.isEmpty())
        return true;
    const QByteArray der = certificates.first().toDer();
    const QByteArray caDer = authorities.first().toDer();
    PCCERT_CONTEXT subject = CertCreateCertificateContext(
        X509_ASN_ENCODING, reinterpret_cast<const BYTE *>(der.constData()), DWORD(der.size()));
    PCCERT_CONTEXT issuer = CertCreateCertificateContext(
        X509_ASN_ENCODING, reinterpret_cast<const BYTE *>(caDer.constData()), DWORD(caDer.size()));
    DWORD flags = CERT_STORE_SIGNATURE_FLAG;
    // only a check that ran and kept the flag (the signature did not verify)
    // is the fault this looks for
    const bool refused = subject && issuer && CertVerifySubjectCertificateContext(subject, issuer, &flags)
        && (flags & CERT_STORE_SIGNATURE_FLAG);
    if (subject)
        CertFreeCertificateContext(subject);
    if (issuer)
        CertFreeCertificateContext(issuer);
    return !refused;
}

bool TestPlatform::link(const QString &target, const QString &linkPath)
{
    DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
    if (QFileInfo(target).isDir())
        flags |= SYMBOLIC_LINK_FLAG_DIRECTORY;
    const QString from = QDir::toNativeSeparators(linkPath);
    const QString to = QDir::toNativeSeparators(target);
    return CreateSymbolicLinkW(reinterpret_cast<const wchar_t *>(from.utf16()),
                               reinterpret_cast<const wchar_t *>(to.utf16()), flags)
        != 0;
}

bool TestPlatform::renameLetterCase(const QString &from, const QString &to)
{
    const QString wanted = QFileInfo(to).fileName();
    const auto renamed = [&] { return QDir(QFileInfo(to).path()).entryList(QDir::Files).contains(wanted); };
    const std::wstring source = QDir::toNativeSeparators(from).toStdWString();
    const std::wstring target = QDir::toNativeSeparators(to).toStdWString();
    if (MoveFileExW(source.c_str(), target.c_str(), 0) && renamed())
        return true;
    const unsigned long moveError = GetLastError();
    if (!underWine())
        return false;
    // the host's mv, through the test runner's stand-in
    QProcess mv;
    mv.setProcessChannelMode(QProcess::MergedChannels);
    if (TestProcess::start(mv, QStringLiteral("mv"), {QDir::toNativeSeparators(from), QDir::toNativeSeparators(to)},
                           30000)
        && mv.waitForFinished(60000) && mv.exitStatus() == QProcess::NormalExit && mv.exitCode() == 0 && renamed())
        return true;
    qWarning("the letter-case rename of %s failed (Windows: %lu; mv: state %d, exit status %d, code %d, %s: %s); "
             "the folder holds %s",
             qPrintable(from), moveError, int(mv.state()), int(mv.exitStatus()), mv.exitCode(),
             qPrintable(mv.errorString()), mv.readAll().constData(),
             qPrintable(QDir(QFileInfo(to).path()).entryList(QDir::Files).join(QLatin1Char(' '))));
    return false;
}
