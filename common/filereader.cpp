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

struct FileReader::Context
{
    std::unique_ptr<char[], PageFree> buffer{pageAligned(FileReaderDetail::chunkSize)};
    Sha256 hash;
};

FileReader::FileReader() : context(std::make_unique<Context>()) {}

FileReader::~FileReader() = default;

FileContent FileReader::read(const QString &path, const std::atomic<bool> *stop)
{
    return FileReaderDetail::readWith(*context, path, stop);
}

namespace {

// A thread that reads now and then (the window's, a download's) keeps one
// reader for good. The scan's threads have their own: a thread-local with a
// destructor, run as a thread ends, can hang the process at its exit under
// some Windows runtimes.
FileReader::Context &threadContext()
{
    thread_local FileReader::Context context;
    return context;
}

} // namespace

FileContent readFileContent(const QString &path, const std::atomic<bool> *stop)
{
    return FileReaderDetail::readWith(threadContext(), path, stop);
}

QString FileReaderDetail::digestOfReads(const Read &read, qint64 sizeAtOpen, const std::atomic<bool> *stop)
{
    return digestOfReads(threadContext(), read, sizeAtOpen, stop);
}

QString FileReaderDetail::digestOfReads(FileReader::Context &context, const Read &read, qint64 sizeAtOpen,
                                        const std::atomic<bool> *stop)
{
    char *const buffer = context.buffer.get();
    Sha256 &hash = context.hash;
    hash.reset();
    qint64 total = 0;
    for (;;) {
        // a stopped scan gives up a large file between two chunks
        if (stop && stop->load(std::memory_order_relaxed))
            return QString();
        const qint64 n = read(buffer, chunkSize);
        if (n == 0)
            return hash.hexDigest();
        if (n < 0)
            return QString();
        hash.addData(buffer, n);
        total += n;
        if (n < chunkSize && total >= sizeAtOpen)
            return hash.hexDigest();
    }
}
