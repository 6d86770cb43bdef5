#include "sha256.h"

QString Sha256::hexOf(const QByteArray &data)
{
    Sha256 hash;
    hash.addData(data);
    return hash.hexDigest();
}
