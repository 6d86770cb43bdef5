#include "syncengine.h"

#include "apiclient.h"

// Placeholder bodies so that every subsystem builds while the engine is written.
SyncEngine::SyncEngine(ApiClient *api, QObject *parent) : QObject(parent), api(api) {}
void SyncEngine::configure(const QString &, int) {}
void SyncEngine::start() {}
void SyncEngine::stop() { running = false; Q_EMIT stateChanged(false); }
bool SyncEngine::isRunning() const { return running; }
QString SyncEngine::normalizedRelative(const QString &) const { return {}; }
QString SyncEngine::absolute(const QString &) const { return {}; }
bool SyncEngine::isSafeRelativePath(const QString &) const { return false; }
QString SyncEngine::conflictPath(const QString &, const QString &) const { return {}; }
QMap<QString, SyncEngine::LocalFile> SyncEngine::scanLocal() const { return {}; }
QString SyncEngine::hashFile(const QString &) const { return {}; }
QJsonObject SyncEngine::stateRecord(const LocalFile &, qint64, const QJsonValue &) const { return {}; }
void SyncEngine::loadState() {}
void SyncEngine::saveState() {}
void SyncEngine::rebuildWatchers() {}
void SyncEngine::scheduleSync() {}
