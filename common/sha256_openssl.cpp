#include "sha256.h"


#include <openssl/evp.h>

namespace {

// OpenSSL 3 looks the algorithm up on every EVP_sha256() initialisation; the
// engine starts one digest per file on every pass, so fetch it once.
const EVP_MD *sha256Algorithm()
{
    static EVP_MD *const algorithm = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return algorithm ? algorithm : EVP_sha256();
}

} // namespace

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
    EVP_DigestInit_ex(d->ctx, sha256Algorithm(), nullptr);
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
    // written straight into the string: the scan makes one per file, and the
    // way through a QByteArray and its hex copy costs as much as the last block
    static const char16_t digits[] = u"0123456789abcdef";
    QString hex(qsizetype(length) * 2, Qt::Uninitialized);
    QChar *out = hex.data();
    for (unsigned int i = 0; i < length; ++i) {
        *out++ = QChar(digits[digest[i] >> 4]);
        *out++ = QChar(digits[digest[i] & 0xf]);
    }
    return hex;
}
