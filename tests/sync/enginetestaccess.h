#pragma once

#include "syncengine.h"

// Reaches the engine's private members from the tests; SyncEngine names this
// class as its friend.
class SyncEngineTestAccess
{
public:
    static QTimer &intervalTimer(SyncEngine &engine) { return engine.intervalTimer; }
    static QTimer &debounceTimer(SyncEngine &engine) { return engine.debounceTimer; }
    static FolderWatcher &watcher(SyncEngine &engine) { return engine.watcher; }
    static QString syncFolder(const SyncEngine &engine) { return engine.syncFolder; }
    static bool syncInProgress(const SyncEngine &engine) { return engine.syncInProgress; }
    // a scan is reading the folder on its threads right now
    static bool scanning(const SyncEngine &engine) { return engine.scanStop != nullptr; }
    static QJsonObject &state(SyncEngine &engine) { return engine.state; }
    // the removals held back on one side for the user's answer
    static QSet<QString> &heldRemovals(SyncEngine &engine, int side) { return engine.removalHolds[side].pending; }
    static SyncEngine::LocalFile localFileAt(const SyncEngine &engine, const QString &path)
    {
        return engine.localFileAt(path);
    }
    static void scheduleSync(SyncEngine &engine) { engine.scheduleSync(); }
    static QByteArray watchedListing(const SyncEngine &engine, const QString &dir)
    {
        return engine.watchedListing(dir);
    }
    // the folders a scan that a pass starts hands to the watcher
    static QStringList scannedFolders(const SyncEngine &engine)
    {
        QStringList folders;
        engine.finishScan(engine.startScan(false, false, true), nullptr, nullptr, nullptr, &folders);
        return folders;
    }
    static bool isEngineEntry(const QString &relativePath) { return SyncEngine::isEngineEntry(relativePath); }
    static bool isLeftoverOfWrite(const QString &relativePath, Qt::CaseSensitivity cs)
    {
        return SyncEngine::isLeftoverOfWrite(relativePath, cs);
    }
    static bool isEngineEntry(const QString &relativePath, Qt::CaseSensitivity cs)
    {
        return SyncEngine::isEngineEntry(relativePath, cs);
    }
};
