#pragma once

#include "syncengine.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QMap>
#include <QSet>
#include <QString>
#include <QVariant>

#include <algorithm>
#include <climits>
#include <cmath>
#include <optional>

// Everything one synchronisation pass works on. It lives on the stack of
// syncNow() and is thrown away at every exit, so nothing of a pass that did not
// complete can leak into the next one.
struct PassContext
{
    // accepted server items (files and folders), keyed by relative path
    QMap<QString, SyncEngine::RemoteItem> remoteItems;
    // absolute local targets of the accepted items, keyed as a folder that
    // ignores letter case would compare them
    QSet<QString> targetKeys;
    QJsonArray deletionRecords;
    // server paths refused at intake: their local files are neither removed
    // nor uploaded again, since the server does list something there
    QSet<QString> rejectedPaths;
    // and the ids of those nodes, which the server still lists as live
    QSet<qint64> rejectedIds;
    // paths whose kept download this pass came to (used, or found stale)
    QSet<QString> keptPartsMet;

    QMap<QString, SyncEngine::LocalFile> localFiles;
    // The folders the scan came to, as the watcher lists them (the sync
    // folder first, the engine's own left out); empty when it could not list
    // them all.
    QStringList scannedFolders;
    // Set by every step that may make, move or remove anything in the folder
    // after the scan (a download, a move, a folder made, a trash, archive or
    // conflict copy, a leftover cleared away), before it does: the scan's
    // folders may then not be the folder's any more.
    bool localTreeTouched = false;
    // What the scan could not see (a folder it could not list, a file it
    // could not read). Nothing at or below these is taken for deleted or
    // edited, nor downloaded over, uploaded or removed, in this pass.
    QSet<QString> unseenPaths;
    // a file on one side where the other has a folder: left alone, with
    // everything below it
    QSet<QString> clashPaths;
    QJsonObject nextState;

    QSet<QString> portalDeletedPaths;
    QSet<QString> trashedPaths;
    // items whose archive move failed; left alone for the rest of the pass so
    // the copy the archive was meant to keep survives until a later pass
    QSet<QString> protectedPaths;

    int uploaded = 0;
    int downloaded = 0;
    int archived = 0;
    int trashed = 0;
    int localDeleted = 0;
    int errors = 0;
};

// How the pass reads untrusted JSON from the server and the state file: a
// wrong type never stops the pass, it only reads as 0, "" or false.
namespace PassValues {

// A whole JSON number that fits in 64 bits; anything else is 0. The value
// is read where it lies, without a detour through QVariant: the pass reads
// several of these per record, for every record, on every pass.
inline qint64 integer(const QJsonValue &value)
{
    // toInteger() gives its default for a fraction, an infinity, anything out
    // of range (2^63 included) and anything that is not a number
    return value.toInteger(0);
}

// Only the JSON literal true sets a flag; "true" or 1 do not.
inline bool flag(const QJsonValue &value)
{
    return value.isBool() && value.toBool();
}

// Server paths may come with backslashes; the pass works with "/" only.
inline QString path(const QJsonValue &value)
{
    QString p = value.toString();
    p.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return p;
}

// The path itself or anything below it. Each directory above the candidate is
// looked up, so a server that has thousands of its paths refused costs no more
// per file than one that has none.
inline bool isAtOrBelow(const QString &candidate, const QSet<QString> &roots)
{
    if (roots.isEmpty())
        return false;
    if (roots.contains(candidate))
        return true;
    for (qsizetype slash = candidate.indexOf(QLatin1Char('/')); slash >= 0;
         slash = candidate.indexOf(QLatin1Char('/'), slash + 1)) {
        if (roots.contains(candidate.left(slash)))
            return true;
    }
    return false;
}

// Whether any of `paths` is `folder` itself or lies below it: what a step
// that moves a whole folder would take along.
inline bool holdsAny(const QString &folder, const QSet<QString> &paths)
{
    const QString prefix = folder + QLatin1Char('/');
    return std::any_of(paths.cbegin(), paths.cend(),
                       [&](const QString &path) { return path == folder || path.startsWith(prefix); });
}

// Two names meet in one Windows folder entry when they are equal after each
// UTF-16 unit is put in upper case on its own (the file system's own table):
// "ırmak" and "IRMAK" do, "straße" and "STRASSE" do not. Lower-casing the
// whole text is not the same ("ı" stays "ı", "I" becomes "i").
// A path handed over as a temporary is changed in place.
inline QString nameCaseKey(QString key)
{
    for (QChar &c : key) {
        // Most names are plain ASCII, whose letters have their upper case
        // within ASCII; the Unicode table is asked only beyond it.
        const char16_t u = c.unicode();
        if (u < 0x80) {
            if (u >= u'a' && u <= u'z')
                c = QChar(char16_t(u - (u'a' - u'A')));
        } else if (!c.isSurrogate()) {
            c = c.toUpper();
        }
    }
    return key;
}

// The members of a state record as stateRecord makes it, in the order a JSON
// object keeps them (sorted by name), so that such a record is read by place.
enum RecordMember { CreatedMs, LocalHash, ModifiedMs, Name, RemoteId, RemoteVersion, Size, RecordMemberCount };
inline constexpr QLatin1String recordMemberNames[RecordMemberCount] = {
    QLatin1String("created_ms"), QLatin1String("local_hash"),     QLatin1String("modified_ms"),
    QLatin1String("name"),       QLatin1String("remote_id"),      QLatin1String("remote_version"),
    QLatin1String("size"),
};

// A member of a state record: first looked for at its place, then, in a
// record of another shape, by name. A search by name costs several key
// comparisons, where the walks over every record ask for one member each.
inline QJsonValue recordMember(const QJsonObject &record, RecordMember member)
{
    const QLatin1String name = recordMemberNames[member];
    if (record.size() == RecordMemberCount) {
        const auto at = record.constBegin() + member;
        if (at.key() == name)
            return at.value();
    }
    return record.value(name);
}

// Two SHA-256 digests in hexadecimal, whatever the letter case. Nearly every
// pair compared is written alike, and a plain comparison settles it.
inline bool sameDigest(const QString &a, const QString &b)
{
    return a == b || a.compare(b, Qt::CaseInsensitive) == 0;
}

// Lookups made in ascending key order, as the pass's walks make them, into a
// map ordered the same way: each one moves on from where the last one
// stopped instead of searching the whole map again. A hit is always the entry
// under that key; a key not met on the way, or asked out of order, is looked
// up in full, so the answers never rest on the two orders agreeing.
//
// The position is an iterator into the map: whatever may change the map (a
// server call, whose nested event loop can even reload the state, or a
// notification that opens a message box) must be followed by restart().
template <typename Map, typename Value>
class OrderedLookup
{
public:
    explicit OrderedLookup(const Map &map) : map(map), at(map.constBegin()) {}

    // Where the entry under key lies, or the map's end.
    typename Map::const_iterator locate(const QString &key)
    {
        if (positioned && !last.isNull() && key < last)
            positioned = false;
        if (positioned) {
            last = key;
            // each key read once: a JSON object's iterator makes a new string of it
            for (; at != map.constEnd(); ++at) {
                const auto &atKey = at.key();
                if (atKey == key)
                    return at;
                if (key < atKey)
                    break;
            }
        }
        const auto found = map.constFind(key);
        if (found == map.constEnd())
            return found;
        at = found;
        last = key;
        positioned = true;
        return found;
    }

    // The value under key, or nullopt.
    std::optional<Value> find(const QString &key)
    {
        const auto found = locate(key);
        if (found == map.constEnd())
            return std::nullopt;
        return Value(found.value());
    }

    // without a copy of the value
    bool contains(const QString &key) { return locate(key) != map.constEnd(); }

    // Forget the position; the next lookup searches in full and starts from there.
    void restart() { positioned = false; }

private:
    const Map &map;
    typename Map::const_iterator at;
    QString last;
    bool positioned = true;
};

} // namespace PassValues
