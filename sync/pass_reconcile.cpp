#include "syncengine.h"

#include "apiclient.h"
#include "dirwalk.h"
#include "longpath.h"
#include "passcontext.h"

#include <QCborValue>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

namespace {

// Exactly 64 hexadecimal digits. (An anchored pattern would let a final line
// feed through: "$" also matches before it.)
bool isSha256Hex(const QString &text)
{
    if (text.size() != 64)
        return false;
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (!((u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'f') || (u >= u'A' && u <= u'F')))
            return false;
    }
    return true;
}

// A record exactly as stateRecord makes it, member for member and type for
// type, read into `file`. A record of any other shape is never current: the
// pass writes it again.
bool readPlainRecord(const QJsonObject &record, SyncEngine::RecordedFile *file)
{
    using PassValues::recordMemberNames;
    constexpr qsizetype count = PassValues::RecordMemberCount;
    if (record.size() != count)
        return false;
    // the members in the order a JSON object keeps them, so one walk reads them
    QJsonValue values[count];
    qsizetype at = 0;
    for (auto it = record.constBegin(); it != record.constEnd() && it.key() == recordMemberNames[at]; ++it, ++at)
        values[at] = it.value();
    if (at != count)
        return false;
    const auto storedInteger = [](const QJsonValue &value, qint64 *out) {
        const QCborValue number = QCborValue::fromJsonValue(value);
        *out = number.toInteger();
        return number.isInteger();
    };
    const QJsonValue &name = values[PassValues::Name];
    const QJsonValue &hash = values[PassValues::LocalHash];
    const QJsonValue &id = values[PassValues::RemoteId];
    if (!name.isString() || !hash.isString())
        return false;
    if (!storedInteger(values[PassValues::Size], &file->size)
        || !storedInteger(values[PassValues::CreatedMs], &file->createdMs)
        || !storedInteger(values[PassValues::ModifiedMs], &file->modifiedMs)
        || !storedInteger(values[PassValues::RemoteVersion], &file->version))
        return false;
    file->idIsText = id.isString();
    if (file->idIsText)
        file->idText = id.toString();
    else if (!storedInteger(id, &file->idNumber))
        return false;
    file->name = name.toString();
    file->hash = hash.toString();
    return true;
}

// Whether the record already holds what stateRecord would make of this file
// and entry, so that writing it again would change neither the state nor the
// file's text. Only then is the write left out; on a pass with nothing to do
// that is every file.
bool recordIsCurrent(const SyncEngine::RecordedFile &record, const SyncEngine::LocalFile &file, qint64 version,
                     const QJsonValue &remoteId)
{
    if (record.name != file.name || record.hash != file.hash || record.size != file.size
        || record.createdMs != file.createdMs || record.modifiedMs != file.modifiedMs || record.version != version)
        return false;
    // "remote_id" is kept as the server sent it; only the usual forms count
    if (remoteId.isString())
        return record.idIsText && record.idText == remoteId.toString();
    const QCborValue id = QCborValue::fromJsonValue(remoteId);
    return id.isInteger() && !record.idIsText && record.idNumber == id.toInteger();
}

// Whether the file on disk is still the one the scan hashed. A download that
// replaces a file the user saved meanwhile would lose that save.
bool unchangedSinceScan(const SyncEngine::LocalFile &file)
{
    const QFileInfo now(file.absolutePath);
    if (!now.exists() || !now.isFile())
        return false;
    const QDateTime modified = now.fileTime(QFileDevice::FileModificationTime);
    const qint64 modifiedMs = modified.isValid() ? modified.toMSecsSinceEpoch() : 0;
    return now.size() == file.size && modifiedMs == file.modifiedMs;
}

// A kept download is used or removed only while it is still a plain file of
// the engine's with the content it was kept for.
bool holdsKeptContent(const SyncEngine &engine, const QString &staged, const QString &sha256)
{
    const QFileInfo part(staged);
    return part.isFile() && !part.isSymLink() && engine.hashFile(staged).compare(sha256, Qt::CaseInsensitive) == 0;
}

enum class Placement { Placed, ChangedAfterScan, Refused };

// A download lands beside its target first and replaces it only if the target
// is still what the pass decided on (`scanned`, or nothing at all for a new
// file): a save the user made while the transfer ran must win over it. The
// replace itself can be refused (on Windows while another program has the
// target open); that is a failed download, not a change by the user.
Placement placeDownload(const QString &staged, const QString &target, const SyncEngine::LocalFile *scanned,
                        bool keepRefused)
{
    const QFileInfo now(target);
    const bool stillSame = scanned ? unchangedSinceScan(*scanned) : !(now.exists() || now.isSymLink());
    if (!stillSame) {
        QFile::remove(staged);
        return Placement::ChangedAfterScan;
    }
    // Qt's own file calls take the long form by themselves; the C++ library
    // hands the system what it is given.
    std::error_code error;
    std::filesystem::rename(std::filesystem::path(longPath(staged).toStdU16String()),
                            std::filesystem::path(longPath(target).toStdU16String()), error);
    if (error) {
        if (!keepRefused)
            QFile::remove(staged);
        return Placement::Refused;
    }
    return Placement::Placed;
}

// true when a finished download is in place; otherwise says why not
bool placedOrReported(SyncEngine &engine, PassContext &pass, Placement placement, const QString &path,
                      bool toldBefore = false)
{
    switch (placement) {
    case Placement::Placed:
        return true;
    case Placement::ChangedAfterScan:
        Q_EMIT engine.log(QStringLiteral("Dosya tarandıktan sonra değişti, sonraki denetime bırakıldı: ") + path);
        return false;
    case Placement::Refused:
        break;
    }
    // still refused, as the user was told
    if (toldBefore)
        return false;
    // The record stays as it was, so a later pass tries again.
    Q_EMIT engine.log(QStringLiteral("İndirilen sürüm dosyanın yerine konamadı (dosya başka bir programda açık olabilir), "
                              "sonraki denetimde yeniden denenecek: ")
               + path);
    Q_EMIT engine.notification(QStringLiteral("İndirme hatası"),
                        QStringLiteral("Dosya başka bir programda açık olabilir, güncellenemedi: ") + path, 2);
    ++pass.errors;
    return false;
}

QString stagingPath(const QString &target)
{
    return target + QStringLiteral(".kumat-part");
}

// A copy with this label that an earlier pass already kept of this path and
// that still holds this content, or empty. While an upload keeps failing the
// same conflict comes back every pass; one copy of a content is enough. Only
// files of the expected size (-1: not known) are hashed.
QString keptConflictCopy(const SyncEngine &engine, const QString &path, const QString &label,
                         const QString &sha256, qint64 size)
{
    if (sha256.isEmpty())
        return QString();
    const QFileInfo info(path);
    const QString suffix = info.suffix();
    const QString extension = suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix;
    const QRegularExpression copyName(QRegularExpression::anchoredPattern(
        QRegularExpression::escape(info.completeBaseName() + QLatin1Char('-') + label + QLatin1Char('-'))
        + QStringLiteral("[0-9]{8}-[0-9]{6}-[0-9]{3}") + QRegularExpression::escape(extension)));
    const QDir dir(engine.absolute(QStringLiteral(".kumat-conflicts/") + info.path()));
    const QFileInfoList entries = dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::System, QDir::NoSort);
    for (const QFileInfo &entry : entries) {
        // a link may point at anything, even the file about to be replaced
        if (entry.isSymLink() || !entry.isFile() || (size >= 0 && entry.size() != size)
            || !copyName.match(entry.fileName()).hasMatch())
            continue;
        if (engine.hashFile(entry.absoluteFilePath()).compare(sha256, Qt::CaseInsensitive) == 0)
            return entry.absoluteFilePath();
    }
    return QString();
}

// The size the snapshot gives for a file, -1 if it gives none usable.
qint64 sizeOf(const SyncEngine::RemoteItem &item)
{
    const QJsonValue size = item.json.value(QLatin1String("size"));
    return size.isDouble() && PassValues::integer(size) >= 0 ? PassValues::integer(size) : -1;
}

} // namespace

const SyncEngine::StateIndex &SyncEngine::indexOfState()
{
    // equal objects (the same one, as a rule) give the same answer
    if (stateIndex.records == state)
        return stateIndex;
    StateIndex index{state, {}, {}, {}};
    index.nodePaths.reserve(state.size());
    index.files.reserve(state.size());
    for (auto it = state.constBegin(); it != state.constEnd(); ++it) {
        const QString path = it.key();
        const QJsonObject record = it.value().toObject();
        const qint64 id = PassValues::integer(PassValues::recordMember(record, PassValues::RemoteId));
        if (id >= 1) {
            if (index.nodePaths.contains(id))
                index.nodesTwice.insert(id);
            index.nodePaths.insert(id, path);
        }
        RecordedFile file;
        if (readPlainRecord(record, &file))
            index.files.insert(path, std::move(file));
    }
    stateIndex = std::move(index);
    return stateIndex;
}

void SyncEngine::reconcileRemoteFiles(PassContext &pass)
{
    // ensureRemoteFolders adds the folders it creates to the map during the
    // walk; the walk itself covers what the snapshot listed. It never changes
    // an entry that is there, so the entries are taken as they are now.
    std::vector<std::pair<QString, RemoteItem>> entries;
    entries.reserve(size_t(pass.remoteItems.size()));
    for (auto it = pass.remoteItems.cbegin(); it != pass.remoteItems.cend(); ++it)
        entries.emplace_back(it.key(), it.value());

    PassValues::OrderedLookup<QMap<QString, LocalFile>, LocalFile> localLookup(pass.localFiles);
    PassValues::OrderedLookup<QJsonObject, QJsonValue> recordLookup(state);
    const StateIndex *records = &indexOfState();
    // set by everything that calls the server or notifies the user: both can
    // run an event loop, in which start() may even replace the state
    bool mayHaveWaited = false;
    for (const auto &[path, item] : entries) {
        if (!running || folderLost || signInLost)
            return;
        if (mayHaveWaited) {
            recordLookup.restart();
            records = &indexOfState();
            mayHaveWaited = false;
        }

        if (pass.trashedPaths.contains(path))
            continue;
        // The scan still lists what the archive took after it: a file the
        // server made again at such a path is met by the next pass.
        if (PassValues::isAtOrBelow(path, pass.protectedPaths) || PassValues::isAtOrBelow(path, pass.portalDeletedPaths))
            continue;
        // What the scan could not read is neither an edit nor a place to write
        // into; a later pass that sees it decides.
        if (PassValues::isAtOrBelow(path, pass.unseenPaths))
            continue;
        // below a place where one side has a file and the other a folder
        if (PassValues::isAtOrBelow(path, pass.clashPaths))
            continue;
        if (item.folder) {
            if (localLookup.contains(path)) {
                reportClash(pass, path, true);
                mayHaveWaited = true;
                continue;
            }
            // Nearly always there already, which one look settles; only a
            // folder to be made takes the checks of each level on its way.
            const QString folder = absolute(path);
            if (!QFileInfo(folder).isDir())
                makeDirectoryInFolder(folder, &pass.localTreeTouched);
            continue;
        }

        const QString &sha256 = item.sha256;
        // everything below but a plain record calls the server or notifies
        mayHaveWaited = true;
        const auto local = localLookup.locate(path);
        // The scan's digests are 64 lowercase hexadecimal digits of its own
        // making: a server digest equal to one is well formed without reading
        // it again (on a pass with nothing to do, that is every file).
        const bool digestAsScanned =
            local != pass.localFiles.cend() && !local->hash.isEmpty() && local->hash == sha256;
        if (item.id < 1 || (!digestAsScanned && !isSha256Hex(sha256))) {
            Q_EMIT log(QStringLiteral("Uzak dosyanın kimlik veya SHA-256 bilgisi geçersiz, atlandı: ") + path);
            Q_EMIT notification(QStringLiteral("Senkronizasyon güvenlik uyarısı"),
                                QStringLiteral("Kimliği veya SHA-256 değeri geçersiz uzak dosya engellendi: ") + path, 2);
            ++pass.errors;
            continue;
        }

        if (local == pass.localFiles.cend()) {
            const QFileInfo there(absolute(path));
            if (there.isDir() && !DirWalk::isLink(there.filePath())) {
                reportClash(pass, path, false);
                continue;
            }
            downloadRemoteFile(pass, path, item, true);
            continue;
        }
        const bool sameContent = !local->hash.isEmpty() && PassValues::sameDigest(local->hash, sha256);

        if (sameContent) {
            // Nothing before this walk changes the record of a path that
            // reaches it (archived and trashed paths are skipped above), so
            // the recorded one is still the one in nextState. Nothing here
            // waits or changes the scan's map, so its entry is read in place.
            const auto record = records->files.constFind(path);
            if (record == records->files.cend() || !recordIsCurrent(*record, *local, item.version, item.idValue))
                pass.nextState.insert(path, stateRecord(*local, item.version, item.idValue));
            mayHaveWaited = false;
            continue;
        }
        const QJsonObject record = recordLookup.find(path).value_or(QJsonValue()).toObject();
        const bool hasRecord = !record.isEmpty();
        // what follows may wait on the server; it works on its own copy
        const LocalFile file = local.value();
        if (!hasRecord) {
            pairFirstTime(pass, path, item);
            continue;
        }

        const bool localChanged = record.value(QLatin1String("name")).toString() != file.name
            || PassValues::integer(record.value(QLatin1String("size"))) != file.size
            || PassValues::integer(record.value(QLatin1String("created_ms"))) != file.createdMs
            || PassValues::integer(record.value(QLatin1String("modified_ms"))) != file.modifiedMs
            || record.value(QLatin1String("local_hash")).toString() != file.hash;
        // Versions only grow. A lower one is an older state of the server (one
        // restored from a backup, say), not a change made after this copy:
        // the content here is kept and goes up again, never replaced by it.
        // Another node at the path is a change whatever its version says.
        const qint64 recordedVersion = PassValues::integer(record.value(QLatin1String("remote_version")));
        const bool sameNode = PassValues::integer(record.value(QLatin1String("remote_id"))) == item.id;
        const bool remoteChanged = !sameNode || item.version > recordedVersion;
        if (sameNode && item.version < recordedVersion)
            Q_EMIT log(QStringLiteral("Kumattaki sürüm kayıtlı sürümden eski; yerel içerik korunuyor: ") + path);

        if (!localChanged && remoteChanged) {
            downloadRemoteFile(pass, path, item, false);
        } else if (localChanged && remoteChanged) {
            if (keepRemoteCopy(pass, path, item))
                uploadLocalFile(pass, path, file, QVariant(item.version));
        } else {
            // The server's content is normally the one last recorded. When it
            // is not (the server changed it without a new version), it exists
            // nowhere here, so it is kept before the upload replaces it.
            const bool serverHoldsRecorded =
                PassValues::sameDigest(sha256, record.value(QLatin1String("local_hash")).toString());
            if (serverHoldsRecorded || keepRemoteCopy(pass, path, item))
                uploadLocalFile(pass, path, file, QVariant(item.version));
        }
    }
    // only a walk that came to every path knows which kept downloads are wanted
    if (!keptParts.isEmpty() && running && !folderLost && !signInLost && folderStillSame()) {
        pass.localTreeTouched = true;
        dropKeptPartsNotMet(pass);
    }
}

void SyncEngine::reportClash(PassContext &pass, const QString &path, bool localIsFile)
{
    // Neither side can take the other's place without losing it; both stay
    // as they are, and the user, told once, decides which name to change.
    pass.clashPaths.insert(path);
    const QString here = localIsFile ? QStringLiteral("dosya") : QStringLiteral("klasör");
    const QString there = localIsFile ? QStringLiteral("klasör") : QStringLiteral("dosya");
    warnOnce(clashesReported, path,
             QStringLiteral("Yerelde %1 olan yerde kumatta %2 var; ikisi de olduğu gibi bırakıldı: ").arg(here, there) + path,
             QStringLiteral("Aynı adla yerelde bir %1, kumatta bir %2 var; biri yeniden adlandırılana kadar "
                            "senkronize edilmiyor: ")
                     .arg(here, there)
                 + path);
}

bool SyncEngine::warnOnce(QSet<QString> &told, const QString &path, const QString &logLine, const QString &warning)
{
    if (told.contains(path))
        return false;
    told.insert(path);
    Q_EMIT log(logLine);
    Q_EMIT notification(QStringLiteral("Senkronizasyon uyarısı"), warning, 1);
    return true;
}

void SyncEngine::downloadRemoteFile(PassContext &pass, const QString &path, const RemoteItem &item, bool isNew)
{
    if (!folderStillSame())
        return;
    pass.localTreeTouched = true;
    const QString target = absolute(path);
    if (isNew) {
        // Something the scan did not list may lie there (a hidden file, a name
        // that differs only in letter case, a file made since the scan); the
        // download must not replace it unseen.
        const QFileInfo existing(target);
        if (existing.exists() || existing.isSymLink()) {
            Q_EMIT log(QStringLiteral("Hedefte taranmamış bir yerel öğe var, indirme sonraki denetime bırakıldı: ") + path);
            return;
        }
        makeDirectoryInFolder(existing.absolutePath());
    } else if (!unchangedSinceScan(pass.localFiles.value(path))) {
        Q_EMIT log(QStringLiteral("Dosya tarandıktan sonra değişti, sonraki denetime bırakıldı: ") + path);
        return;
    }

    const QString &sha256 = item.sha256;
    const QString staged = stagingPath(target);
    // A download that an earlier pass verified but could not put in place is
    // used again while it holds what the server still has: only the replace
    // is retried.
    const bool kept = keptPartHolds(pass, path, sha256, staged);
    if (kept || api->downloadFile(item.id, staged, sha256)) {
        // the transfer waited on the network; the folder may have gone meanwhile
        if (!folderStillSame())
            return;
        const LocalFile scanned = pass.localFiles.value(path);
        const Placement placement = placeDownload(staged, target, isNew ? nullptr : &scanned, true);
        if (placement == Placement::Refused) {
            keptParts.insert(path, sha256);
            pass.keptPartsMet.insert(path);
        } else {
            keptParts.remove(path);
        }
        if (!placedOrReported(*this, pass, placement, path, kept))
            return;
        ++pass.downloaded;
        Q_EMIT log((isNew ? QStringLiteral("İndirildi: ") : QStringLiteral("Uzak değişiklik indirildi: ")) + path);
        pass.nextState.insert(path, stateRecord(localFileAt(target), item.version, item.idValue));
        return;
    }
    if (!running || signInLost) {
        Q_EMIT log(QStringLiteral("İndirme durduruldu: ") + path);
        return;
    }
    // failed because the folder went away: the pass ends as for a lost folder
    if (!folderStillSame())
        return;
    const QString error = api->lastError();
    Q_EMIT log((isNew ? QStringLiteral("İndirilemedi: ") : QStringLiteral("Uzak değişiklik indirilemedi: ")) + path
               + QStringLiteral(" — ") + error);
    Q_EMIT notification(QStringLiteral("İndirme hatası"), path + QStringLiteral(" — ") + error, 2);
    ++pass.errors;
}

void SyncEngine::pairFirstTime(PassContext &pass, const QString &path, const RemoteItem &item)
{
    const LocalFile file = pass.localFiles.value(path);
    // The copy below is taken from the file as it is now, but the decision was
    // made on the scan; a file saved since then is left for the next pass.
    if (!unchangedSinceScan(file)) {
        Q_EMIT log(QStringLiteral("Dosya tarandıktan sonra değişti, sonraki denetime bırakıldı: ") + path);
        return;
    }
    if (!folderStillSame())
        return;
    pass.localTreeTouched = true;
    QString copyPath = keptConflictCopy(*this, path, QStringLiteral("yerel"), file.hash, file.size);
    if (!copyPath.isEmpty()) {
        Q_EMIT log(QStringLiteral("Aynı içerikli çakışma kopyası zaten var, yenisi yapılmadı: ") + copyPath);
    } else {
        copyPath = conflictPath(path, QStringLiteral("yerel"));
        if (!QFile::copy(file.absolutePath, copyPath)) {
            Q_EMIT log(QStringLiteral("İlk eşleştirmede yerel kopya korunamadığı için dosya atlandı: ") + path);
            return;
        }
    }
    const QString target = absolute(path);
    const QString staged = stagingPath(target);
    if (!api->downloadFile(item.id, staged, item.sha256)) {
        ++pass.errors;
        return;
    }
    if (!folderStillSame())
        return;
    if (!placedOrReported(*this, pass, placeDownload(staged, target, &file, false), path))
        return;
    ++pass.downloaded;
    pass.nextState.insert(path, stateRecord(localFileAt(target), item.version, item.idValue));
    Q_EMIT log(QStringLiteral("İlk eşleştirme çakışması: yerel kopya korundu, kumat sürümü indirildi: ") + copyPath);
}

bool SyncEngine::keepRemoteCopy(PassContext &pass, const QString &path, const RemoteItem &item)
{
    if (!folderStillSame())
        return false;
    pass.localTreeTouched = true;
    const QString kept = keptConflictCopy(*this, path, QStringLiteral("uzak"), item.sha256, sizeOf(item));
    if (!kept.isEmpty()) {
        Q_EMIT log(QStringLiteral("Aynı içerikli çakışma kopyası zaten var, yenisi yapılmadı: ") + kept);
        return true;
    }
    const QString copyPath = conflictPath(path, QStringLiteral("uzak"));
    if (api->downloadFile(item.id, copyPath, item.sha256)) {
        Q_EMIT log(QStringLiteral("Çakışma kopyası korundu: ") + copyPath);
        return true;
    }
    // Uploading now would replace the server's version while no copy of it
    // exists here; the record stays, so the next pass meets the same conflict.
    if (!running || signInLost) {
        Q_EMIT log(QStringLiteral("İndirme durduruldu: ") + path);
        return false;
    }
    if (!folderStillSame())
        return false;
    const QString error = api->lastError();
    Q_EMIT log(QStringLiteral("Çakışmada kumat sürümü korunamadığı için yükleme yapılmadı: ") + path
               + QStringLiteral(" — ") + error);
    Q_EMIT notification(QStringLiteral("Çakışma hatası"),
                        QStringLiteral("Kumat sürümü korunamadı, dosya yüklenmedi: ") + path + QStringLiteral(" — ")
                            + error,
                        2);
    ++pass.errors;
    return false;
}

bool SyncEngine::keptPartHolds(PassContext &pass, const QString &path, const QString &sha256, const QString &staged)
{
    const auto kept = keptParts.constFind(path);
    if (kept == keptParts.cend())
        return false;
    pass.keptPartsMet.insert(path);
    // It lay on disk between passes: it counts only as long as it is still
    // the engine's own file with the content it was kept for.
    if (kept.value().compare(sha256, Qt::CaseInsensitive) == 0 && holdsKeptContent(*this, staged, sha256)) {
        Q_EMIT log(QStringLiteral("Önceden indirilen sürüm yeniden yerine konmaya çalışılıyor: ") + path);
        return true;
    }
    // The server has moved on, or the part is not what was kept: a fresh
    // download takes its place.
    keptParts.erase(kept);
    return false;
}

void SyncEngine::dropKeptPartsNotMet(const PassContext &pass)
{
    // A kept download that no pass wants any more (the server deleted the
    // file, both sides now agree, the user changed it here) goes; only when it
    // still holds what was kept, so nothing but the engine's own copy of the
    // server's content is ever removed. Anything else there is left to the
    // clean-up of leftovers, which puts it in the trash.
    for (auto it = keptParts.begin(); it != keptParts.end();) {
        if (pass.keptPartsMet.contains(it.key())) {
            ++it;
            continue;
        }
        const QString staged = stagingPath(absolute(it.key()));
        if (holdsKeptContent(*this, staged, it.value()))
            QFile::remove(staged);
        it = keptParts.erase(it);
    }
}
