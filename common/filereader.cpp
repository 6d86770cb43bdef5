#include "filereader_p.h"

#include "sha256.h"

#include <memory>

QString FileReaderDetail::digestOfReads(const Read &read, qint64 sizeAtOpen)
{
    // one buffer and one digest context for all files, instead of an
    // allocation of each per file: a pass reads every file of the folder
    thread_local std::unique_ptr<char[]> buffer(new char[chunkSize]);
    thread_local Sha256 hash;
    hash.reset();
    qint64 total = 0;
    for (;;) {
        const qint64 n = read(buffer.get(), chunkSize);
        if (n == 0)
            return hash.hexDigest();
        if (n < 0)
            return QString();
        hash.addData(buffer.get(), n);
        total += n;
        if (n < chunkSize && total >= sizeAtOpen)
            return hash.hexDigest();
    }
}
