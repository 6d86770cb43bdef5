#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// The QCryptographicHash back end of Sha256, built into the test under the
// name Sha256Qt so that it can run beside the libcrypto one.
namespace QtBackend {
QString hexOfChunks(const QList<QByteArray> &chunks);
QString hexAfterReset(const QByteArray &discarded, const QByteArray &data);
}
