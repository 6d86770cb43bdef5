#pragma once

#include <QString>
#include <QtGlobal>

// A file kept open for reading while no one else may write, rename or delete
// it, as far as the platform can refuse them: what was read through it is
// what stays under its name until it is released. Windows refuses all three;
// Linux refuses none (heldfile_unix.cpp).
class HeldFile
{
public:
    HeldFile() = default;
    ~HeldFile() { release(); }
    HeldFile(const HeldFile &) = delete;
    HeldFile &operator=(const HeldFile &) = delete;

    // Lets go of what was held before. False when the path cannot be opened
    // so, or names no regular file; nothing is held then.
    bool hold(const QString &path);
    // The SHA-256 of the whole content, read through the held handle from its
    // start; null when nothing is held or a read fails.
    QString sha256();
    void release();
    bool isHeld() const { return handle != -1; }

private:
    // a descriptor on Linux, a HANDLE on Windows; -1 for none on both
    qintptr handle = -1;
};
