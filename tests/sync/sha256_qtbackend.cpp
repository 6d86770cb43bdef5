#include "sha256_qtbackend.h"

#define Sha256 Sha256Qt
#include "sha256_common.cpp"
#include "sha256_qt.cpp"

namespace QtBackend {

QString hexOfChunks(const QList<QByteArray> &chunks)
{
    Sha256Qt hash;
    for (const QByteArray &chunk : chunks)
        hash.addData(chunk);
    return hash.hexDigest();
}

QString hexAfterReset(const QByteArray &discarded, const QByteArray &data)
{
    Sha256Qt hash;
    hash.addData(discarded);
    hash.reset();
    hash.addData(data);
    return hash.hexDigest();
}

} // namespace QtBackend
