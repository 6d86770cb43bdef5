#pragma once

#include <QString>

// Protects a password for the current user of this computer, so that the text
// kept in the settings store is useless to anyone else.
//
// protectPassword returns the Base64 text of an opaque blob, or an empty string
// when the platform's protection is not available. unprotectPassword turns such
// a text back into the password; it fails (and leaves *password untouched) on a
// blob of another user, a damaged text, or when the protection is unavailable.
QString protectPassword(const QString &password);
bool unprotectPassword(const QString &protectedText, QString *password);
