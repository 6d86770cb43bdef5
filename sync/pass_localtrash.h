#pragma once

#include <QString>

namespace LocalTrash {

// Moves a file into the platform's trash (the Recycle Bin, the freedesktop
// trash). True only when the file really went there; a refusal leaves it in
// place and answers false.
bool moveToTrash(const QString &absolutePath);

// Whether the platform's trash would keep a file at this path rather than
// delete it outright (Windows deletes on drives without a Recycle Bin).
bool keepsFilesAt(const QString &absolutePath);

} // namespace LocalTrash
