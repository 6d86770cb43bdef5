#include "sha256.h"

#include <QCryptographicHash>

struct Sha256::Private
{
    QCryptographicHash hash{QCryptographicHash::Sha256};
};

Sha256::Sha256()
    : d(new Private)
{
}

Sha256::~Sha256() = default;

void Sha256::reset()
{
    d->hash.reset();
}

void Sha256::addData(const char *data, qint64 length)
{
    if (length > 0)
        d->hash.addData(QByteArrayView(data, length));
}

QString Sha256::hexDigest()
{
    return QString::fromLatin1(d->hash.result().toHex());
}
