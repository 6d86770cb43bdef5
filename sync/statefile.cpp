#include "syncengine.h"

#include <QFile>
#include <QJsonDocument>
#include <QSaveFile>

namespace {

const QString stateFileName = QStringLiteral(".kumat-sync.json");
// The server and account the records were made with, under the one key no
// relative path can have: builds that do not know it take it for a record of
// the folder itself and leave it alone.
const QString bindingKey = QString();

bool holdsExactly(const QString &path, const QByteArray &text)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() != text.size())
        return false;
    return file.readAll() == text;
}

} // namespace

QJsonObject SyncEngine::stateRecord(const LocalFile &file, qint64 remoteVersion, const QJsonValue &remoteId) const
{
    QJsonObject record;
    record.insert(QStringLiteral("name"), file.name);
    record.insert(QStringLiteral("size"), file.size);
    record.insert(QStringLiteral("created_ms"), file.createdMs);
    record.insert(QStringLiteral("modified_ms"), file.modifiedMs);
    record.insert(QStringLiteral("local_hash"), file.hash);
    record.insert(QStringLiteral("remote_version"), remoteVersion);
    // kept exactly as the server sent it, whatever its JSON type
    record.insert(QStringLiteral("remote_id"), remoteId);
    return record;
}

void SyncEngine::loadState()
{
    // A missing, empty or damaged file means starting without memory: the next
    // completed pass writes a sound one.
    // taken before the read, so a folder swapped during it is caught later
    stateFolder = FolderIdentity::of(syncFolder);
    QFile file(absolute(stateFileName));
    if (!file.open(QIODevice::ReadOnly)) {
        state = QJsonObject();
        stateBinding = QJsonObject();
        return;
    }
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
    state = document.isObject() ? document.object() : QJsonObject();
    stateBinding = state.take(bindingKey).toObject();
    savedState = QJsonObject();
    savedText.clear();
}

void SyncEngine::saveState()
{
    // The new content replaces the old file only once it is fully on disk, so
    // a crash or a full disk leaves the last good state in place.
    // The records belong in the directory the pass worked on; in another one
    // at that path they would pass its files off as deleted.
    if (!folderStillSame()) {
        Q_EMIT log(QStringLiteral("Senkronizasyon takip kaydı açılamadı."));
        return;
    }
    // A pass that changed nothing hands over the very state written last
    // time; its text is known, and writing it out takes far less than
    // serialising thousands of records again.
    const bool sameText = !savedText.isNull() && state == savedState && stateBinding == savedBinding;
    if (!sameText) {
        QJsonObject content = state;
        if (!stateBinding.isEmpty())
            content.insert(bindingKey, stateBinding);
        savedText = QJsonDocument(content).toJson(QJsonDocument::Indented);
        savedState = state;
        savedBinding = stateBinding;
    }
    const QByteArray bytes = savedText;
    // When the file already holds exactly that text, a rewrite would only
    // cost a flush to disk on every pass. Whatever else lies there (nothing,
    // a damaged or edited file, an older state, a write that failed) is
    // replaced.
    if (sameText && holdsExactly(absolute(stateFileName), bytes))
        return;
    QSaveFile file(absolute(stateFileName));
    if (!file.open(QIODevice::WriteOnly)) {
        Q_EMIT log(QStringLiteral("Senkronizasyon takip kaydı açılamadı."));
        return;
    }
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        Q_EMIT log(QStringLiteral("Senkronizasyon takip kaydı güvenli biçimde yazılamadı."));
        return;
    }
    if (!folderStillSame()) {
        file.cancelWriting();
        Q_EMIT log(QStringLiteral("Senkronizasyon takip kaydı güvenli biçimde yazılamadı."));
        return;
    }
    if (!file.commit())
        Q_EMIT log(QStringLiteral("Senkronizasyon takip kaydı güvenli biçimde yazılamadı."));
}
