#include "filereader_p.h"

#include "sha256.h"

#include <memory>
#include <new>

namespace {

// A buffer that begins on a page: the kernel copies from the page cache
// several times slower into an address a few bytes past a page on some
// processors, and malloc hands out a buffer this large at page + 16.
constexpr std::size_t pageSize = 4096;

struct PageFree
{
    void operator()(char *p) const { ::operator delete(p, std::align_val_t(pageSize)); }
};

char *pageAligned(std::size_t size)
{
    return static_cast<char *>(::operator new(size, std::align_val_t(pageSize)));
}

} // namespace

QString FileReaderDetail::digestOfReads(const Read &read, qint64 sizeAtOpen, const std::atomic<bool> *stop)
{
    // one buffer and one digest context per thread for all its files, instead
    // of an allocation of each per file: a pass reads every file of the folder
    thread_local std::unique_ptr<char[], PageFree> buffer(pageAligned(chunkSize));
    thread_local Sha256 hash;
    hash.reset();
    qint64 total = 0;
    for (;;) {
        // a stopped scan gives up a large file between two chunks
        if (stop && stop->load(std::memory_order_relaxed))
            return QString();
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
