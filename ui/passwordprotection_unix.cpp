#include "passwordprotection.h"

#include "passwordcipher.h"
#include "secretkey_unix.h"

#include <QByteArray>

namespace {

QByteArray decodeKey(const std::string &text)
{
    const auto decoded = QByteArray::fromBase64Encoding(QByteArray::fromStdString(text),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != PasswordCipher::keySize)
        return QByteArray();
    return decoded.decoded;
}

// The user's key; made and stored on first use. A stored key that cannot be
// read back as one is worthless, so it is replaced.
QByteArray userKey()
{
    std::string text;
    switch (SecretKey::lookup(&text)) {
    case SecretKey::Lookup::Unavailable:
        return QByteArray();
    case SecretKey::Lookup::Found:
        if (QByteArray key = decodeKey(text); !key.isEmpty())
            return key;
        break;
    case SecretKey::Lookup::Missing:
        break;
    }
    const QByteArray key = PasswordCipher::newKey();
    if (key.isEmpty() || !SecretKey::store(key.toBase64().toStdString()))
        return QByteArray();
    return key;
}

} // namespace

QString protectPassword(const QString &password)
{
    const QByteArray key = userKey();
    if (key.isEmpty())
        return QString();
    const QByteArray blob = PasswordCipher::seal(key, password.toUtf8());
    if (blob.isEmpty())
        return QString();
    return QString::fromLatin1(blob.toBase64());
}

bool unprotectPassword(const QString &protectedText, QString *password)
{
    const auto blob = QByteArray::fromBase64Encoding(protectedText.toUtf8(), QByteArray::AbortOnBase64DecodingErrors);
    if (!blob)
        return false;
    std::string text;
    // never make a key here: a blob sealed under a lost key stays unreadable
    if (SecretKey::lookup(&text) != SecretKey::Lookup::Found)
        return false;
    const QByteArray key = decodeKey(text);
    QByteArray plain;
    if (key.isEmpty() || !PasswordCipher::open(key, blob.decoded, &plain))
        return false;
    *password = QString::fromUtf8(plain);
    return true;
}
