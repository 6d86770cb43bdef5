#include "syncengine.h"

#include "apiclient.h"

#include <QStringList>

bool SyncEngine::ensureRemoteFolders(const QString &relativeDir, QMap<QString, RemoteItem> &remoteItems,
                                     QVariant *parentId)
{
    *parentId = QVariant();
    if (relativeDir.isEmpty() || relativeDir == QLatin1String("."))
        return true;

    // Top down, one request per missing folder, each under the id just
    // obtained; a new folder enters the map at once, so later files of the
    // same pass find it.
    const QStringList parts = relativeDir.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString current;
    for (const QString &part : parts) {
        current = current.isEmpty() ? part : current + QLatin1Char('/') + part;
        const auto known = remoteItems.constFind(current);
        if (known != remoteItems.cend()) {
            *parentId = known->idValue.toVariant();
            continue;
        }

        // a stop that came while the previous request finished
        if (!running || signInLost)
            return false;
        QJsonObject item = api->createFolder(*parentId, part).value(QLatin1String("item")).toObject();
        if (item.isEmpty()) {
            // the user's own stop is no failure to report
            if (!running || signInLost) {
                Q_EMIT log(QStringLiteral("Klasör oluşturma durduruldu: ") + current);
                return false;
            }
            const QString error = api->lastError();
            Q_EMIT log(QStringLiteral("Klasör oluşturulamadı: ") + current + QStringLiteral(" — ") + error);
            Q_EMIT notification(QStringLiteral("Senkronizasyon hatası"),
                                QStringLiteral("Kumatta klasör oluşturulamadı: ") + current, 2);
            return false;
        }
        item.insert(QStringLiteral("path"), current);
        remoteItems.insert(current, RemoteItem(item));
        *parentId = item.value(QLatin1String("id")).toVariant();
        Q_EMIT log(QStringLiteral("Uzak klasör oluşturuldu: ") + current);
    }
    return true;
}
