#include "sha256.h"

#include <QIODevice>

#include <openssl/evp.h>

struct Sha256::Private
{
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    ~Private() { EVP_MD_CTX_free(ctx); }
};

Sha256::Sha256()
    : d(new Private)
{
    reset();
}

Sha256::~Sha256() = default;

void Sha256::reset()
{
    EVP_DigestInit_ex(d->ctx, EVP_sha256(), nullptr);
}

void Sha256::addData(const char *data, qint64 length)
{
    if (length > 0)
        EVP_DigestUpdate(d->ctx, data, size_t(length));
}

QString Sha256::hexDigest()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(d->ctx, digest, &length);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex());
}
