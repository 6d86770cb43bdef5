#include "updatemanager.h"

#include "vendor.h"

#include <QNetworkAccessManager>

// Placeholder bodies so that every subsystem builds while the manager is written.
UpdateManager::UpdateManager(QObject *parent) : UpdateManager(QString::fromLatin1(Vendor::host), parent) {}
UpdateManager::UpdateManager(const QString &trustedHost, QObject *parent)
    : QObject(parent), network(new QNetworkAccessManager(this)), trustedHost(trustedHost) {}
void UpdateManager::checkForUpdates(const QUrl &) {}
void UpdateManager::downloadUpdate() {}
