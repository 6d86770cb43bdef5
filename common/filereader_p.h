#pragma once

#include "filereader.h"

#include <QString>
#include <QtGlobal>

#include <atomic>
#include <functional>

namespace FileReaderDetail {

constexpr qint64 chunkSize = 1024 * 1024;

// Reads into the buffer, at most the length given: the count read, 0 at the
// end, or -1 on an error.
using Read = std::function<qint64(char *buffer, qint64 length)>;

// The digest of everything up to the end; null on a read error, so a broken
// read never loops. A regular file ends with a short read; once that comes at
// or past the size seen when opening, the extra read that would return nothing
// is skipped. A set `stop` ends it between two chunks, with a null digest.
QString digestOfReads(const Read &read, qint64 sizeAtOpen, const std::atomic<bool> *stop = nullptr);
QString digestOfReads(FileReader::Context &context, const Read &read, qint64 sizeAtOpen,
                      const std::atomic<bool> *stop);

// The platform's read of one file, with the buffer and digest given.
FileContent readWith(FileReader::Context &context, const QString &path, const std::atomic<bool> *stop);

} // namespace FileReaderDetail
