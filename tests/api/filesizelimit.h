#pragma once

#include <QtGlobal>

// Caps the size of files this process may write, so that a test can make the
// disk refuse a write. Returns false where the platform has no such cap.
bool limitFileSize(qint64 bytes);
void liftFileSizeLimit();
