#include "sha256.h"

#include <QIODevice>

QString Sha256::hexOf(const QByteArray &data)
{
    Sha256 hash;
    hash.addData(data);
    return hash.hexDigest();
}

QString Sha256::hexOfDevice(QIODevice *device, qint64 chunkSize)
{
    Sha256 hash;
    QByteArray buffer(int(qMax<qint64>(1, chunkSize)), Qt::Uninitialized);
    while (!device->atEnd()) {
        const qint64 n = device->read(buffer.data(), buffer.size());
        // a read error, or a device that claims more data but delivers none,
        // would otherwise spin here for ever
        if (n <= 0)
            return QString();
        hash.addData(buffer.constData(), n);
    }
    return hash.hexDigest();
}
