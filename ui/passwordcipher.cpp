#include "passwordcipher.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <memory>

namespace PasswordCipher {

namespace {

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

const unsigned char *bytes(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

unsigned char *bytes(QByteArray &data)
{
    return reinterpret_cast<unsigned char *>(data.data());
}

} // namespace

QByteArray newKey()
{
    QByteArray key(keySize, Qt::Uninitialized);
    if (RAND_bytes(bytes(key), keySize) != 1)
        return QByteArray();
    return key;
}

QByteArray seal(const QByteArray &key, const QByteArray &plain)
{
    if (key.size() != keySize)
        return QByteArray();
    QByteArray nonce(nonceSize, Qt::Uninitialized);
    if (RAND_bytes(bytes(nonce), nonceSize) != 1)
        return QByteArray();
    CipherContext ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    if (!ctx)
        return QByteArray();
    const QByteArray header(1, version);
    QByteArray cipher(plain.size() + 16, Qt::Uninitialized);
    QByteArray tag(tagSize, Qt::Uninitialized);
    int length = 0;
    int total = 0;
    if (EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1
        || EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, nonceSize, nullptr) != 1
        || EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, bytes(key), bytes(nonce)) != 1
        || EVP_EncryptUpdate(ctx.get(), nullptr, &length, bytes(header), int(header.size())) != 1
        || EVP_EncryptUpdate(ctx.get(), bytes(cipher), &length, bytes(plain), int(plain.size())) != 1)
        return QByteArray();
    total = length;
    if (EVP_EncryptFinal_ex(ctx.get(), bytes(cipher) + total, &length) != 1)
        return QByteArray();
    total += length;
    cipher.truncate(total);
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, tagSize, tag.data()) != 1)
        return QByteArray();
    return header + nonce + cipher + tag;
}

bool open(const QByteArray &key, const QByteArray &blob, QByteArray *plain)
{
    if (key.size() != keySize || blob.size() < 1 + nonceSize + tagSize || blob.at(0) != version)
        return false;
    const QByteArray header = blob.left(1);
    const QByteArray nonce = blob.mid(1, nonceSize);
    const QByteArray cipher = blob.mid(1 + nonceSize, blob.size() - 1 - nonceSize - tagSize);
    QByteArray tag = blob.right(tagSize);
    CipherContext ctx(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    if (!ctx)
        return false;
    QByteArray out(cipher.size() + 16, Qt::Uninitialized);
    int length = 0;
    int total = 0;
    if (EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1
        || EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, nonceSize, nullptr) != 1
        || EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, bytes(key), bytes(nonce)) != 1
        || EVP_DecryptUpdate(ctx.get(), nullptr, &length, bytes(header), int(header.size())) != 1
        || EVP_DecryptUpdate(ctx.get(), bytes(out), &length, bytes(cipher), int(cipher.size())) != 1)
        return false;
    total = length;
    if (EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, tagSize, tag.data()) != 1)
        return false;
    // the tag decides: a wrong key or any altered byte fails here
    if (EVP_DecryptFinal_ex(ctx.get(), bytes(out) + total, &length) != 1)
        return false;
    total += length;
    out.truncate(total);
    *plain = out;
    return true;
}

} // namespace PasswordCipher
