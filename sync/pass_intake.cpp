#include "syncengine.h"

#include "apiclient.h"
#include "passcontext.h"
#include "pathgate.h"

#include <QDir>
#include <QFileInfo>

SyncEngine::RemoteItem::RemoteItem(const QJsonObject &json)
    : json(json)
    , idValue(json.value(QLatin1String("id")))
    , id(PassValues::integer(idValue))
    , version(PassValues::integer(json.value(QLatin1String("version"))))
    , sha256(json.value(QLatin1String("sha256")).toString())
    , folder(json.value(QLatin1String("type")).toString() == QLatin1String("folder"))
{
}

bool SyncEngine::fetchSnapshot(QJsonObject *snapshot)
{
    *snapshot = api->snapshot();
    if (!snapshot->isEmpty())
        return true;
    // Without the server's view nothing can be decided; the folder, the state
    // and the state file stay exactly as they were.
    const QString error = api->lastError();
    Q_EMIT log(QStringLiteral("Sunucu anlık görüntüsü alınamadı: ") + error);
    // an expired sign-in is told once, by whoever signs in again
    if (!signInLost)
        Q_EMIT notification(QStringLiteral("Senkronizasyon hatası"),
                            QStringLiteral("Kumat dosya listesi alınamadı: ") + error, 2);
    return false;
}

void SyncEngine::takeInSnapshot(PassContext &pass, const QJsonObject &snapshot)
{
    PathGate gate(*this, syncFolder);
    // The snapshot of the last pass, taken in then without refusing anything,
    // gives the same items again while every directory on their way is on
    // disk as it was (no link put in since, none made or gone): as a rule the
    // server's tree did not change between two passes.
    if (keptIntake && keptIntake->folder == syncFolder && keptIntake->snapshot == snapshot
        && gate.findsAgain(keptIntake->verdicts)) {
        pass.remoteItems = keptIntake->remoteItems;
        pass.targetKeys = keptIntake->targetKeys;
        pass.deletionRecords = keptIntake->deletionRecords;
        return;
    }
    keptIntake.reset();

    const auto appendAll = [&pass](const QJsonValue &value) {
        const QJsonArray records = value.toArray();
        for (const QJsonValue &record : records)
            pass.deletionRecords.append(record);
    };
    appendAll(snapshot.value(QLatin1String("deleted")));
    appendAll(snapshot.value(QLatin1String("deleted_items")));
    appendAll(snapshot.value(QLatin1String("tombstones")));
    const QJsonArray deletedIds = snapshot.value(QLatin1String("deleted_ids")).toArray();
    for (const QJsonValue &id : deletedIds)
        pass.deletionRecords.append(QJsonObject{{QStringLiteral("node_id"), id}});

    const auto reject = [this, &pass](const QString &logText, const QString &message, const QString &path,
                                      const QJsonObject &item) {
        pass.rejectedIds.insert(PassValues::integer(item.value(QLatin1String("id"))));
        Q_EMIT log(logText + path);
        Q_EMIT notification(QStringLiteral("Senkronizasyon güvenlik uyarısı"), message + path, 2);
        ++pass.errors;
    };

    // A path from another system that cannot exist here is left to that
    // system: nothing is made or fetched for it, its record stays, and the
    // user hears of it once per run, not on every pass. What lies below such a
    // path is refused with it and not told again (the server lists a folder
    // before its contents).
    QString lastUnholdable;
    const auto refuseUnholdable = [this, &pass, &lastUnholdable](const QString &path, const QJsonObject &item) {
        pass.rejectedIds.insert(PassValues::integer(item.value(QLatin1String("id"))));
        pass.rejectedPaths.insert(path);
        const bool below = !lastUnholdable.isEmpty() && path.size() > lastUnholdable.size()
            && path.startsWith(lastUnholdable) && path.at(lastUnholdable.size()) == QLatin1Char('/');
        if (below)
            return;
        lastUnholdable = path;
        if (warnOnce(unholdableReported, path,
                     QStringLiteral("Bu bilgisayarda bulunamayacak uzak yol atlandı (ad, uzunluk veya derinlik sınırı): ")
                         + path,
                     QStringLiteral("Bu bilgisayarın tutamayacağı bir dosya yolu indirilmedi: ") + path))
            ++pass.errors;
    };

    bool allPlain = true;
    const QJsonArray items = snapshot.value(QLatin1String("items")).toArray();
    pass.targetKeys.reserve(items.size());
    for (const QJsonValue &value : items) {
        const QJsonObject item = value.toObject();
        if (PassValues::flag(item.value(QLatin1String("deleted")))
            || PassValues::flag(item.value(QLatin1String("is_deleted")))
            || !item.value(QLatin1String("deleted_at")).toString().isEmpty()) {
            pass.deletionRecords.append(item);
            continue;
        }

        const QString path = PassValues::path(item.value(QLatin1String("path")));
        // The engine's own entries (the state file, the conflict folder, the
        // archive, partial downloads) and anything below them are never taken
        // from the server: a download there would overwrite the engine's
        // memory or a kept copy, or put a file where its folder belongs.
        const bool safe = gate.isSafe(path);
        if (!safe && gate.lastRefusedByPlatform()) {
            refuseUnholdable(path, item);
            continue;
        }
        // a plain path is its own clean form
        const bool plain = safe && gate.lastWasPlain();
        allPlain = allPlain && plain;
        const QString key = safe && !plain ? QDir::cleanPath(path) : path;
        if (!safe || isEngineEntry(key)) {
            reject(QStringLiteral("Güvenli olmayan uzak yol atlandı: "),
                   QStringLiteral("Kumattan gelen güvenli olmayan dosya yolu engellendi: "), path, item);
            if (safe)
                pass.rejectedPaths.insert(key);
            continue;
        }

        const RemoteItem remote(item);
        // Uploads below a folder go to the folder's id; without one they
        // would land at the top of the user's tree.
        if (remote.folder && remote.id < 1) {
            reject(QStringLiteral("Uzak klasörün kimlik bilgisi geçersiz, atlandı: "),
                   QStringLiteral("Kimliği geçersiz uzak klasör engellendi: "), path, item);
            pass.rejectedPaths.insert(key);
            continue;
        }

        // a key already there leaves the set as it was
        const qsizetype targetsBefore = pass.targetKeys.size();
        pass.targetKeys.insert(PassValues::nameCaseKey(plain ? gate.plainTarget(key) : gate.target(key)));
        if (pass.targetKeys.size() == targetsBefore) {
            reject(QStringLiteral("Aynı yerel hedefe yönlenen uzak kayıt atlandı: "),
                   QStringLiteral("Çakışan uzak dosya yolu engellendi: "), path, item);
            pass.rejectedPaths.insert(key);
            continue;
        }
        // "a//b" or "./a" would never meet the scan's "a/b" and "a": the
        // download would then land on the scanned file without any check.
        // The server lists its items in path order, so they mostly land at
        // the end of the map.
        pass.remoteItems.insert(pass.remoteItems.cend(), key, remote);
    }
    // an intake that refused anything told the user so, and does so again
    if (allPlain && pass.rejectedIds.isEmpty() && pass.rejectedPaths.isEmpty())
        keptIntake.reset(new KeptIntake{snapshot,         syncFolder,      gate.verdicts(),
                                        pass.remoteItems, pass.targetKeys, pass.deletionRecords});
}
