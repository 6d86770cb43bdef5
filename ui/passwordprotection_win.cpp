#include "passwordprotection.h"

#include "dpapi_win.h"

#include <QByteArray>

QString protectPassword(const QString &password)
{
    const QByteArray plain = password.toUtf8();
    std::string blob;
    if (!Dpapi::protect(std::string(plain.constData(), size_t(plain.size())), &blob))
        return QString();
    return QString::fromLatin1(QByteArray(blob.data(), qsizetype(blob.size())).toBase64());
}

bool unprotectPassword(const QString &protectedText, QString *password)
{
    const QByteArray blob = QByteArray::fromBase64(protectedText.toUtf8());
    std::string plain;
    if (!Dpapi::unprotect(std::string(blob.constData(), size_t(blob.size())), &plain))
        return false;
    *password = QString::fromUtf8(plain.data(), qsizetype(plain.size()));
    return true;
}
