#pragma once

#include <string>

// The per-user key of the password protection, kept by the desktop's Secret
// Service (GNOME Keyring, KWallet, KeePassXC...). Kept free of Qt: the GLib
// headers that libsecret pulls in clash with Qt's keywords.
namespace SecretKey {

enum class Lookup { Found, Missing, Unavailable };

// The stored key text, or why there is none.
Lookup lookup(std::string *keyText);
bool store(const std::string &keyText);
// Forgets the key; every password sealed under it becomes unreadable.
bool clear();

} // namespace SecretKey
