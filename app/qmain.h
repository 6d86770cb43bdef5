#pragma once

#include <QStringList>

class MainWindow;

// The process's real main function; the platform entry only calls it.
int qMain(int argc, char **argv);

namespace AppEntry {

// Identity, style and icon of the application, set before any window exists.
void applyIdentity();

// True when one whole argument equals "--check-update" exactly. Walks from the
// front and stops at the first match, so a repeated option counts once.
bool checkUpdateRequested(const QStringList &arguments);

// What a later start of the program asks of the running copy: its window in
// front, also from the tray, and with "--check-update" a check at once.
void activate(MainWindow &window, const QStringList &arguments);

} // namespace AppEntry
