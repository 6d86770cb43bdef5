#pragma once

#include <QString>
#include <QtGlobal>

#include <atomic>
#include <memory>

// What one read of a file gives: its size and times, and the SHA-256 of its
// content, all through one handle. Only a regular file is read, a link being
// read through to its target: a device or a pipe may never end or may block
// for ever, so anything else gets no digest, whatever the path named when it
// was listed.
struct FileContent
{
    qint64 size = 0;
    // milliseconds since 1970-01-01 UTC; 0 where the file system keeps no such time
    qint64 createdMs = 0;
    qint64 modifiedMs = 0;
    // 64 lower-case hexadecimal digits; null when the path could not be opened,
    // is not a regular file, or a read failed part-way
    QString sha256;
};

// The times and size are the ones the path shows even when it cannot be read,
// and all zero when it names nothing. A read that `stop` ends early gives no
// digest, as a failed read does.
FileContent readFileContent(const QString &path, const std::atomic<bool> *stop = nullptr);

// Reads file after file with one buffer and one digest context of its own:
// what a thread that reads many files keeps for itself, instead of an
// allocation of each per file. readFileContent keeps one per thread.
class FileReader
{
public:
    FileReader();
    ~FileReader();
    FileReader(const FileReader &) = delete;
    FileReader &operator=(const FileReader &) = delete;

    FileContent read(const QString &path, const std::atomic<bool> *stop = nullptr);

    struct Context;

private:
    std::unique_ptr<Context> context;
};
