#pragma once

#include <QByteArray>

// The sealed form of a remembered password where the Windows data-protection
// service does not exist: AES-256-GCM under a per-user key that the desktop's
// Secret Service keeps. Layout: version byte, 12-byte nonce, ciphertext, 16-byte
// tag; the version byte is authenticated as well.
namespace PasswordCipher {

inline constexpr int keySize = 32;
inline constexpr int nonceSize = 12;
inline constexpr int tagSize = 16;
inline constexpr char version = 1;

QByteArray newKey();
// Empty on failure (a key of the wrong size included).
QByteArray seal(const QByteArray &key, const QByteArray &plain);
// False on a wrong key, an unknown version, a short or altered blob.
bool open(const QByteArray &key, const QByteArray &blob, QByteArray *plain);

} // namespace PasswordCipher
