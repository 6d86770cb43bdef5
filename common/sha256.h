#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <memory>

// Every SHA-256 of the program goes through this one helper: file hashing
// (readFileContent), the streaming digest of downloads and the update
// verification. The
// digest runs through libcrypto where the build has it and through
// QCryptographicHash elsewhere; both give identical bytes.
class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    void addData(const char *data, qint64 length);
    void addData(const QByteArray &data) { addData(data.constData(), data.size()); }

    // Lower-case hexadecimal, 64 characters. Ends the digest; call reset() to reuse.
    QString hexDigest();
    void reset();

    static QString hexOf(const QByteArray &data);

private:
    struct Private;
    std::unique_ptr<Private> d;
};
