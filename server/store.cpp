#include "store.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QJsonValue>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sqlite3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace kumat::server {

namespace {

constexpr int passwordIterations = 100000;
constexpr int schemaVersion = 2;

QString nowText()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

QByteArray randomBytes(int count)
{
    QByteArray bytes(count, Qt::Uninitialized);
    if (RAND_bytes(reinterpret_cast<unsigned char *>(bytes.data()), count) != 1)
        return {};
    return bytes;
}

QByteArray pbkdf2(const QString &password, const QByteArray &salt, int iterations)
{
    const QByteArray utf8 = password.toUtf8();
    QByteArray out(32, Qt::Uninitialized);
    if (PKCS5_PBKDF2_HMAC(utf8.constData(), utf8.size(), reinterpret_cast<const unsigned char *>(salt.constData()),
                          salt.size(), iterations, EVP_sha256(), out.size(),
                          reinterpret_cast<unsigned char *>(out.data())) != 1)
        return {};
    return out;
}

QString sha256Hex(const QByteArray &data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.constData(), data.size(), digest, &length, EVP_sha256(), nullptr);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex());
}

bool fsyncDirectory(const QString &dir)
{
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

// Small RAII wrapper around a prepared statement.
class Stmt
{
public:
    Stmt(sqlite3 *db, const char *sql)
    {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK)
            stmt = nullptr;
    }
    ~Stmt() { sqlite3_finalize(stmt); }
    Stmt(const Stmt &) = delete;
    Stmt &operator=(const Stmt &) = delete;

    bool valid() const { return stmt != nullptr; }
    Stmt &bind(int index, int64_t value)
    {
        sqlite3_bind_int64(stmt, index, value);
        return *this;
    }
    Stmt &bind(int index, const QString &value)
    {
        const QByteArray utf8 = value.toUtf8();
        sqlite3_bind_text(stmt, index, utf8.constData(), utf8.size(), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt &bind(int index, const QByteArray &value)
    {
        sqlite3_bind_blob(stmt, index, value.constData(), value.size(), SQLITE_TRANSIENT);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code
    int step() { return stmt ? sqlite3_step(stmt) : SQLITE_ERROR; }
    bool run()
    {
        const int rc = step();
        return rc == SQLITE_DONE || rc == SQLITE_ROW;
    }
    int64_t integer(int column) const { return sqlite3_column_int64(stmt, column); }
    QString text(int column) const
    {
        const auto *data = reinterpret_cast<const char *>(sqlite3_column_text(stmt, column));
        return data ? QString::fromUtf8(data, sqlite3_column_bytes(stmt, column)) : QString();
    }
    QByteArray blob(int column) const
    {
        const auto *data = static_cast<const char *>(sqlite3_column_blob(stmt, column));
        return data ? QByteArray(data, sqlite3_column_bytes(stmt, column)) : QByteArray();
    }

private:
    sqlite3_stmt *stmt = nullptr;
};

constexpr const char *nodeColumns = "id, parent_id, name, type, version, sha256, size, trashed";

Node readNode(const Stmt &s, int first = 0)
{
    Node n;
    n.id = s.integer(first);
    n.parentId = s.integer(first + 1);
    n.name = s.text(first + 2);
    n.folder = s.text(first + 3) == QLatin1String("folder");
    n.version = s.integer(first + 4);
    n.sha256 = s.text(first + 5);
    n.size = s.integer(first + 6);
    n.trashed = s.integer(first + 7);
    return n;
}

// Paths of all nodes of one user, computed from the parent chain in memory.
QHash<int64_t, QString> computePaths(const QHash<int64_t, Node> &nodes)
{
    QHash<int64_t, QString> paths;
    for (auto it = nodes.cbegin(); it != nodes.cend(); ++it) {
        QStringList parts;
        const Node *n = &it.value();
        int guard = 0;
        while (n && guard++ < 10000) {
            parts.prepend(n->name);
            if (n->parentId == 0)
                break;
            auto parent = nodes.constFind(n->parentId);
            n = parent == nodes.cend() ? nullptr : &parent.value();
        }
        paths.insert(it.key(), parts.join(QLatin1Char('/')));
    }
    return paths;
}

const QString msgInternal = QStringLiteral("Sunucu iç hatası; işlem kaydedilmedi.");

} // namespace

// One IMMEDIATE transaction: takes the write lock at once, so that the checks
// made inside it still hold when it commits. Rolls back unless committed.
struct Store::Tx
{
    explicit Tx(Store &store) : s(store) { ok = s.exec("BEGIN IMMEDIATE"); }
    ~Tx()
    {
        if (ok && !done)
            s.exec("ROLLBACK");
    }
    bool commit()
    {
        done = true;
        ++s.writes;
        if (s.exec("COMMIT"))
            return true;
        // a refused COMMIT can leave the transaction open, and with it the write lock
        s.exec("ROLLBACK");
        return false;
    }
    Store &s;
    bool ok = false;
    bool done = false;
};

QJsonObject Node::toJson() const
{
    QJsonObject o;
    o.insert(QStringLiteral("id"), double(id));
    o.insert(QStringLiteral("path"), path);
    o.insert(QStringLiteral("name"), name);
    o.insert(QStringLiteral("type"), folder ? QStringLiteral("folder") : QStringLiteral("file"));
    o.insert(QStringLiteral("parent_id"), parentId > 0 ? QJsonValue(double(parentId)) : QJsonValue());
    if (!folder) {
        o.insert(QStringLiteral("sha256"), sha256);
        o.insert(QStringLiteral("version"), double(version));
        o.insert(QStringLiteral("size"), double(size));
    }
    return o;
}

std::optional<RecordKind> recordKindFromString(const QString &text)
{
    static const QHash<QString, RecordKind> kinds = {
        {QStringLiteral("deleted"), RecordKind::Deleted},
        {QStringLiteral("deleted_items"), RecordKind::DeletedItems},
        {QStringLiteral("tombstones"), RecordKind::Tombstones},
        {QStringLiteral("deleted_ids"), RecordKind::DeletedIds},
        {QStringLiteral("flagged-deleted"), RecordKind::FlaggedDeleted},
        {QStringLiteral("flagged-is_deleted"), RecordKind::FlaggedIsDeleted},
        {QStringLiteral("flagged-deleted_at"), RecordKind::FlaggedDeletedAt},
    };
    auto it = kinds.constFind(text);
    if (it == kinds.cend())
        return std::nullopt;
    return it.value();
}

QString recordKindToString(RecordKind kind)
{
    switch (kind) {
    case RecordKind::Deleted: return QStringLiteral("deleted");
    case RecordKind::DeletedItems: return QStringLiteral("deleted_items");
    case RecordKind::Tombstones: return QStringLiteral("tombstones");
    case RecordKind::DeletedIds: return QStringLiteral("deleted_ids");
    case RecordKind::FlaggedDeleted: return QStringLiteral("flagged-deleted");
    case RecordKind::FlaggedIsDeleted: return QStringLiteral("flagged-is_deleted");
    case RecordKind::FlaggedDeletedAt: return QStringLiteral("flagged-deleted_at");
    }
    return {};
}

QString nameProblem(const QString &name)
{
    if (name.isEmpty())
        return QStringLiteral("Ad boş olamaz.");
    if (name == QLatin1String(".") || name == QLatin1String(".."))
        return QStringLiteral("Ad \".\" veya \"..\" olamaz.");
    for (const QChar c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\'))
            return QStringLiteral("Ad \"/\" veya \"\\\" içeremez.");
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return QStringLiteral("Ad denetim karakteri içeremez.");
        if (c == QChar::ReplacementCharacter)
            return QStringLiteral("Ad geçerli UTF-8 değil.");
    }
    if (name.toUtf8().size() > 255)
        return QStringLiteral("Ad en fazla 255 bayt olabilir.");
    return {};
}

Store::~Store()
{
    if (db)
        sqlite3_close(db);
}

bool Store::exec(const char *sql, QString *error)
{
    char *message = nullptr;
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
        if (error)
            *error = QString::fromUtf8(message ? message : sqlite3_errstr(rc));
        sqlite3_free(message);
        return false;
    }
    return true;
}

void Store::removeStaleStaging()
{
    // staging files of uploads that a crash interrupted; recent ones may belong to a running command
    const QDateTime limit = QDateTime::currentDateTimeUtc().addSecs(-3600);
    QDir dir(tempDir());
    for (const QFileInfo &info : dir.entryInfoList({QStringLiteral("upload-*")}, QDir::Files)) {
        if (info.lastModified().toUTC() < limit)
            QFile::remove(info.absoluteFilePath());
    }
}

QString Store::tempDir() const
{
    return root + QStringLiteral("/tmp");
}

QString Store::blobPath(const QString &sha256) const
{
    return root + QStringLiteral("/blobs/") + sha256.left(2) + QLatin1Char('/') + sha256;
}

bool Store::open(const QString &dataDir, QString *error)
{
    root = QDir(dataDir).absolutePath();
    if (!QDir().mkpath(root + QStringLiteral("/blobs")) || !QDir().mkpath(tempDir())) {
        *error = QStringLiteral("Veri klasörü oluşturulamadı: ") + root;
        return false;
    }
    const QByteArray dbPath = QFile::encodeName(root + QStringLiteral("/kumat.db"));
    if (sqlite3_open_v2(dbPath.constData(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        *error = QStringLiteral("Veritabanı açılamadı: ") + QString::fromUtf8(sqlite3_errmsg(db));
        return false;
    }
    sqlite3_busy_timeout(db, 30000);
    if (!exec("PRAGMA journal_mode=WAL", error) || !exec("PRAGMA synchronous=FULL", error)
        || !exec("PRAGMA foreign_keys=ON", error))
        return false;
    return migrate(error);
}

bool Store::migrate(QString *error)
{
    std::lock_guard lock(mutex);
    {
        // the usual case needs no write lock, which another process may hold for a while
        Stmt v(db, "PRAGMA user_version");
        if (v.step() == SQLITE_ROW && v.integer(0) >= schemaVersion)
            return true;
    }
    Tx tx(*this);
    if (!tx.ok) {
        *error = QString::fromUtf8(sqlite3_errmsg(db));
        return false;
    }
    int64_t current = 0;
    {
        Stmt v(db, "PRAGMA user_version");
        current = v.step() == SQLITE_ROW ? v.integer(0) : 0;
    }
    if (current >= schemaVersion)
        return tx.commit();
    if (current < 1 && !exec(schemaV1, error))
        return false;
    if (current < 2 && !exec("ALTER TABLE faults ADD COLUMN rate INTEGER NOT NULL DEFAULT 0; PRAGMA user_version = 2;", error))
        return false;
    return tx.commit() || (*error = QString::fromUtf8(sqlite3_errmsg(db)), false);
}

const char *const Store::schemaV1 = R"SQL(
CREATE TABLE users (
    id INTEGER PRIMARY KEY,
    email TEXT NOT NULL UNIQUE COLLATE NOCASE,
    salt BLOB NOT NULL,
    password_hash BLOB NOT NULL,
    iterations INTEGER NOT NULL,
    created_at TEXT NOT NULL
);
CREATE TABLE tokens (
    token_hash TEXT PRIMARY KEY,
    user_id INTEGER NOT NULL REFERENCES users(id),
    device_name TEXT NOT NULL,
    created_at TEXT NOT NULL
);
CREATE TABLE nodes (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    user_id INTEGER NOT NULL REFERENCES users(id),
    parent_id INTEGER NOT NULL DEFAULT 0,
    name TEXT NOT NULL,
    type TEXT NOT NULL CHECK (type IN ('file', 'folder')),
    version INTEGER NOT NULL DEFAULT 0,
    sha256 TEXT NOT NULL DEFAULT '',
    size INTEGER NOT NULL DEFAULT 0,
    trashed INTEGER NOT NULL DEFAULT 0,
    trashed_at TEXT,
    created_at TEXT NOT NULL,
    updated_at TEXT NOT NULL
);
CREATE UNIQUE INDEX nodes_live_name ON nodes(user_id, parent_id, name) WHERE trashed = 0;
CREATE INDEX nodes_parent ON nodes(user_id, parent_id);
CREATE TABLE versions (
    node_id INTEGER NOT NULL REFERENCES nodes(id) ON DELETE CASCADE,
    version INTEGER NOT NULL,
    sha256 TEXT NOT NULL,
    size INTEGER NOT NULL,
    device TEXT NOT NULL,
    created_at TEXT NOT NULL,
    PRIMARY KEY (node_id, version)
);
CREATE TABLE deletion_records (
    id INTEGER PRIMARY KEY,
    user_id INTEGER NOT NULL REFERENCES users(id),
    node_id INTEGER NOT NULL,
    kind TEXT NOT NULL,
    path TEXT NOT NULL,
    name TEXT NOT NULL,
    type TEXT NOT NULL,
    version INTEGER NOT NULL,
    sha256 TEXT NOT NULL,
    size INTEGER NOT NULL,
    deleted_at TEXT NOT NULL
);
CREATE INDEX deletion_records_user ON deletion_records(user_id);
CREATE TABLE faults (
    id INTEGER PRIMARY KEY,
    method TEXT NOT NULL,
    path_prefix TEXT NOT NULL,
    action TEXT NOT NULL,
    status INTEGER NOT NULL,
    remaining INTEGER NOT NULL
);
PRAGMA user_version = 1;
)SQL";

// ---------------------------------------------------------------- accounts

Outcome Store::addUser(const QString &email, const QString &password)
{
    const QString trimmed = email.trimmed();
    if (trimmed.isEmpty() || !trimmed.contains(QLatin1Char('@')))
        return Outcome::fail(400, QStringLiteral("Geçerli bir e-posta adresi gerekli."));
    if (password.isEmpty())
        return Outcome::fail(400, QStringLiteral("Parola boş olamaz."));
    const QByteArray salt = randomBytes(16);
    const QByteArray hash = pbkdf2(password, salt, passwordIterations);
    if (salt.isEmpty() || hash.isEmpty())
        return Outcome::fail(500, msgInternal);
    std::lock_guard lock(mutex);
    Tx tx(*this);
    if (!tx.ok)
        return Outcome::fail(503, msgInternal);
    Stmt s(db, "INSERT INTO users(email, salt, password_hash, iterations, created_at) VALUES (?, ?, ?, ?, ?)");
    s.bind(1, trimmed).bind(2, salt).bind(3, hash).bind(4, int64_t(passwordIterations)).bind(5, nowText());
    const int rc = s.step();
    if (rc == SQLITE_CONSTRAINT)
        return Outcome::fail(409, QStringLiteral("Bu e-posta adresiyle bir kullanıcı zaten var."));
    if (rc != SQLITE_DONE || !tx.commit())
        return Outcome::fail(500, msgInternal);
    return Outcome::success();
}

Outcome Store::login(const QString &email, const QString &password, const QString &deviceName, QString *token)
{
    const Outcome refused = Outcome::fail(401, QStringLiteral("E-posta adresi veya parola hatalı."));
    int64_t userId = 0;
    QByteArray salt, hash;
    int iterations = 0;
    {
        std::lock_guard lock(mutex);
        Stmt s(db, "SELECT id, salt, password_hash, iterations FROM users WHERE email = ?");
        s.bind(1, email.trimmed());
        if (s.step() == SQLITE_ROW) {
            userId = s.integer(0);
            salt = s.blob(1);
            hash = s.blob(2);
            iterations = int(s.integer(3));
        }
    }
    // hash even for an unknown address, so the answer time does not reveal which addresses exist
    const QByteArray candidate = pbkdf2(password, userId ? salt : QByteArray(16, '\0'),
                                        userId ? iterations : passwordIterations);
    if (!userId || candidate.size() != hash.size()
        || CRYPTO_memcmp(candidate.constData(), hash.constData(), size_t(hash.size())) != 0)
        return refused;
    const QByteArray raw = randomBytes(32);
    if (raw.isEmpty())
        return Outcome::fail(500, msgInternal);
    const QString fresh = QString::fromLatin1(raw.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
    std::lock_guard lock(mutex);
    Tx tx(*this);
    Stmt s(db, "INSERT INTO tokens(token_hash, user_id, device_name, created_at) VALUES (?, ?, ?, ?)");
    s.bind(1, sha256Hex(fresh.toLatin1())).bind(2, userId).bind(3, deviceName).bind(4, nowText());
    if (!tx.ok || s.step() != SQLITE_DONE || !tx.commit())
        return Outcome::fail(500, msgInternal);
    *token = fresh;
    return Outcome::success();
}

std::optional<User> Store::userForToken(const QString &token, QString *deviceName)
{
    if (token.isEmpty())
        return std::nullopt;
    std::lock_guard lock(mutex);
    Stmt s(db, "SELECT users.id, users.email, tokens.device_name FROM tokens JOIN users ON users.id = tokens.user_id "
               "WHERE tokens.token_hash = ?");
    s.bind(1, sha256Hex(token.toUtf8()));
    if (s.step() != SQLITE_ROW)
        return std::nullopt;
    if (deviceName)
        *deviceName = s.text(2);
    return User{s.integer(0), s.text(1)};
}

std::optional<User> Store::userByEmail(const QString &email)
{
    std::lock_guard lock(mutex);
    Stmt s(db, "SELECT id, email FROM users WHERE email = ?");
    s.bind(1, email.trimmed());
    if (s.step() != SQLITE_ROW)
        return std::nullopt;
    return User{s.integer(0), s.text(1)};
}

// ---------------------------------------------------------------- tree helpers

bool Store::loadNode(int64_t userId, int64_t nodeId, Node *node)
{
    Stmt s(db, "SELECT id, parent_id, name, type, version, sha256, size, trashed FROM nodes WHERE user_id = ? AND id = ?");
    s.bind(1, userId).bind(2, nodeId);
    if (s.step() != SQLITE_ROW)
        return false;
    *node = readNode(s);
    return true;
}

bool Store::findLiveChild(int64_t userId, int64_t parentId, const QString &name, Node *node)
{
    Stmt s(db, "SELECT id, parent_id, name, type, version, sha256, size, trashed FROM nodes "
               "WHERE user_id = ? AND parent_id = ? AND name = ? AND trashed = 0");
    s.bind(1, userId).bind(2, parentId).bind(3, name);
    if (s.step() != SQLITE_ROW)
        return false;
    *node = readNode(s);
    return true;
}

QString Store::pathOf(int64_t userId, const Node &node)
{
    QStringList parts{node.name};
    int64_t parent = node.parentId;
    int guard = 0;
    while (parent > 0 && guard++ < 10000) {
        Node p;
        if (!loadNode(userId, parent, &p))
            break;
        parts.prepend(p.name);
        parent = p.parentId;
    }
    return parts.join(QLatin1Char('/'));
}

Outcome Store::checkParent(int64_t userId, int64_t parentId)
{
    if (parentId == 0)
        return Outcome::success();
    Node parent;
    if (parentId < 0 || !loadNode(userId, parentId, &parent) || parent.trashed)
        return Outcome::fail(404, QStringLiteral("Üst klasör bulunamadı."));
    if (!parent.folder)
        return Outcome::fail(400, QStringLiteral("Üst öğe bir klasör değil."));
    return Outcome::success();
}

// ---------------------------------------------------------------- snapshot

namespace {

// A JSON string literal of the text, as the JSON writer escapes it.
void appendJsonString(QByteArray &out, const QString &text)
{
    out += '"';
    const QByteArray utf8 = text.toUtf8();
    const bool plain = std::none_of(utf8.cbegin(), utf8.cend(), [](char c) {
        return c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20;
    });
    if (plain) {
        out += utf8;
        out += '"';
        return;
    }
    for (const char c : utf8) {
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (u < 0x20) {
                static const char hex[] = "0123456789abcdef";
                out += "\\u00";
                out += hex[u >> 4];
                out += hex[u & 0xf];
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

// The same members, in the same (sorted) order, as Node::toJson gives.
void appendNodeJson(QByteArray &out, const Node &n)
{
    out += "{\"id\":";
    out += QByteArray::number(qint64(n.id));
    out += ",\"name\":";
    appendJsonString(out, n.name);
    out += ",\"parent_id\":";
    out += n.parentId > 0 ? QByteArray::number(qint64(n.parentId)) : QByteArray("null");
    out += ",\"path\":";
    appendJsonString(out, n.path);
    if (!n.folder) {
        out += ",\"sha256\":";
        appendJsonString(out, n.sha256);
        out += ",\"size\":";
        out += QByteArray::number(qint64(n.size));
        out += ",\"type\":\"file\",\"version\":";
        out += QByteArray::number(qint64(n.version));
    } else {
        out += ",\"type\":\"folder\"";
    }
    out += '}';
}

QByteArray compactJson(const QJsonArray &array)
{
    return QJsonDocument(array).toJson(QJsonDocument::Compact);
}

} // namespace

int64_t Store::dataVersion()
{
    Stmt s(db, "PRAGMA data_version");
    return s.step() == SQLITE_ROW ? s.integer(0) : -1;
}

QByteArray Store::snapshot(int64_t userId)
{
    std::lock_guard lock(mutex);
    // A client asks for the whole tree on every pass, and mostly nothing has
    // changed since: the text made last time is then the answer.
    const int64_t version = dataVersion();
    const auto cached = snapshots.constFind(userId);
    if (version >= 0 && cached != snapshots.cend() && cached->writes == writes && cached->dataVersion == version)
        return cached->body;
    const uint64_t writesBefore = writes;

    // one read transaction, so the tree and the records belong to the same moment
    if (!exec("BEGIN"))
        return QByteArray();
    // ends the read transaction on every way out
    struct ReadEnd
    {
        Store &store;
        ~ReadEnd() { store.exec("COMMIT"); }
    } readEnd{*this};
    QHash<int64_t, Node> nodes;
    {
        Stmt s(db, "SELECT id, parent_id, name, type, version, sha256, size, trashed FROM nodes WHERE user_id = ?");
        s.bind(1, userId);
        int rc;
        while ((rc = s.step()) == SQLITE_ROW) {
            Node n = readNode(s);
            const int64_t id = n.id;
            nodes.insert(id, std::move(n));
        }
        if (rc != SQLITE_DONE)
            return QByteArray();
    }
    const QHash<int64_t, QString> paths = computePaths(nodes);
    std::vector<const Node *> live;
    live.reserve(size_t(nodes.size()));
    for (auto it = nodes.begin(); it != nodes.end(); ++it) {
        if (it->trashed)
            continue;
        it->path = paths.value(it.key());
        live.push_back(&it.value());
    }
    std::sort(live.begin(), live.end(), [](const Node *a, const Node *b) { return a->path < b->path; });
    QByteArray liveItems;
    liveItems.reserve(qsizetype(live.size()) * 200);
    for (const Node *n : live) {
        if (!liveItems.isEmpty())
            liveItems += ',';
        appendNodeJson(liveItems, *n);
    }
    // flagged deletion records follow the live nodes in the same array
    QJsonArray items;

    QJsonArray deleted, deletedItems, tombstones, deletedIds;
    Stmt r(db, "SELECT node_id, kind, path, name, type, version, sha256, size, deleted_at FROM deletion_records "
               "WHERE user_id = ? ORDER BY id");
    r.bind(1, userId);
    int rc;
    while ((rc = r.step()) == SQLITE_ROW) {
        const auto kind = recordKindFromString(r.text(1));
        if (!kind)
            continue;
        const int64_t nodeId = r.integer(0);
        QJsonObject record;
        record.insert(QStringLiteral("id"), double(nodeId));
        record.insert(QStringLiteral("path"), r.text(2));
        switch (*kind) {
        case RecordKind::Deleted: deleted.append(record); break;
        case RecordKind::DeletedItems: deletedItems.append(record); break;
        case RecordKind::Tombstones: tombstones.append(record); break;
        case RecordKind::DeletedIds: deletedIds.append(double(nodeId)); break;
        case RecordKind::FlaggedDeleted:
        case RecordKind::FlaggedIsDeleted:
        case RecordKind::FlaggedDeletedAt: {
            const bool folder = r.text(4) == QLatin1String("folder");
            record.insert(QStringLiteral("name"), r.text(3));
            record.insert(QStringLiteral("type"), folder ? QStringLiteral("folder") : QStringLiteral("file"));
            if (!folder) {
                record.insert(QStringLiteral("version"), double(r.integer(5)));
                record.insert(QStringLiteral("sha256"), r.text(6));
                record.insert(QStringLiteral("size"), double(r.integer(7)));
            }
            if (*kind == RecordKind::FlaggedDeleted)
                record.insert(QStringLiteral("deleted"), true);
            else if (*kind == RecordKind::FlaggedIsDeleted)
                record.insert(QStringLiteral("is_deleted"), true);
            else
                record.insert(QStringLiteral("deleted_at"), r.text(8));
            items.append(record);
            break;
        }
        }
    }
    if (rc != SQLITE_DONE)
        return QByteArray();
    // members in sorted order, as the JSON writer puts them
    QByteArray reply;
    reply.reserve(liveItems.size() + 256);
    reply += "{\"deleted\":";
    reply += compactJson(deleted);
    reply += ",\"deleted_ids\":";
    reply += compactJson(deletedIds);
    reply += ",\"deleted_items\":";
    reply += compactJson(deletedItems);
    reply += ",\"items\":[";
    reply += liveItems;
    if (!items.isEmpty()) {
        const QByteArray flagged = compactJson(items);
        if (!liveItems.isEmpty())
            reply += ',';
        reply += flagged.mid(1, flagged.size() - 2);
    }
    reply += "],\"ok\":true,\"tombstones\":";
    reply += compactJson(tombstones);
    reply += '}';
    if (version >= 0)
        snapshots.insert(userId, CachedSnapshot{writesBefore, version, reply});
    return reply;
}

// ---------------------------------------------------------------- changes

Outcome Store::createFolder(int64_t userId, int64_t parentId, const QString &name, Node *created)
{
    const QString problem = nameProblem(name);
    if (!problem.isEmpty())
        return Outcome::fail(400, problem);
    std::lock_guard lock(mutex);
    Tx tx(*this);
    if (!tx.ok)
        return Outcome::fail(503, msgInternal);
    const Outcome parent = checkParent(userId, parentId);
    if (!parent.ok())
        return parent;
    Node existing;
    if (findLiveChild(userId, parentId, name, &existing))
        return Outcome::fail(409, QStringLiteral("Bu klasörde aynı adda bir öğe zaten var: ") + name);
    const QString now = nowText();
    Stmt s(db, "INSERT INTO nodes(user_id, parent_id, name, type, created_at, updated_at) VALUES (?, ?, ?, 'folder', ?, ?)");
    s.bind(1, userId).bind(2, parentId).bind(3, name).bind(4, now).bind(5, now);
    if (s.step() != SQLITE_DONE)
        return Outcome::fail(500, msgInternal);
    Node n;
    loadNode(userId, sqlite3_last_insert_rowid(db), &n);
    n.path = pathOf(userId, n);
    if (!tx.commit())
        return Outcome::fail(500, msgInternal);
    *created = n;
    return Outcome::success();
}

Outcome Store::trashNode(int64_t userId, int64_t nodeId, std::optional<RecordKind> record)
{
    std::lock_guard lock(mutex);
    Tx tx(*this);
    if (!tx.ok)
        return Outcome::fail(503, msgInternal);
    Node node;
    if (nodeId < 1 || !loadNode(userId, nodeId, &node) || node.trashed)
        return Outcome::fail(404, QStringLiteral("Öğe bulunamadı."));
    const QString now = nowText();
    // the node and every live descendant go to the trash together, marked with the node's id
    Stmt s(db, "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL SELECT nodes.id FROM nodes JOIN sub ON nodes.parent_id = sub.id "
               "WHERE nodes.user_id = ?2 AND nodes.trashed = 0) "
               "UPDATE nodes SET trashed = ?1, trashed_at = ?3 WHERE user_id = ?2 AND trashed = 0 AND id IN (SELECT id FROM sub)");
    s.bind(1, nodeId).bind(2, userId).bind(3, now);
    if (s.step() != SQLITE_DONE)
        return Outcome::fail(500, msgInternal);
    if (record) {
        Stmt r(db, "INSERT INTO deletion_records(user_id, node_id, kind, path, name, type, version, sha256, size, deleted_at) "
                   "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        r.bind(1, userId).bind(2, nodeId).bind(3, recordKindToString(*record)).bind(4, pathOf(userId, node));
        r.bind(5, node.name).bind(6, node.folder ? QStringLiteral("folder") : QStringLiteral("file"));
        r.bind(7, node.version).bind(8, node.sha256).bind(9, node.size).bind(10, now);
        if (r.step() != SQLITE_DONE)
            return Outcome::fail(500, msgInternal);
    }
    if (!tx.commit())
        return Outcome::fail(500, msgInternal);
    return Outcome::success();
}

bool Store::placeBlob(const StagedBlob &blob, bool *consumed, QString *error)
{
    const QString target = blobPath(blob.sha256);
    const QString dir = QFileInfo(target).absolutePath();
    const bool newDir = !QFileInfo::exists(dir);
    if (!QDir().mkpath(dir) || (newDir && !fsyncDirectory(QFileInfo(dir).absolutePath()))) {
        *error = QStringLiteral("Blob klasörü oluşturulamadı.");
        return false;
    }
    const QByteArray from = QFile::encodeName(blob.tempPath);
    struct stat st;
    if (::stat(QFile::encodeName(target).constData(), &st) == 0 && st.st_size == blob.size) {
        // same content is already stored and durable
        ::unlink(from.constData());
        *consumed = true;
        return true;
    }
    if (::rename(from.constData(), QFile::encodeName(target).constData()) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    *consumed = true;
    if (!fsyncDirectory(dir)) {
        *error = QStringLiteral("Blob klasörü diske yazılamadı.");
        return false;
    }
    return true;
}

Outcome Store::storeContent(int64_t userId, int64_t parentId, const QString &name, int64_t expectedVersion,
                            bool checkVersion, const StagedBlob &blob, bool *consumed, const QString &device,
                            Node *stored)
{
    // caller holds the mutex and an open transaction
    Node existing;
    const bool exists = findLiveChild(userId, parentId, name, &existing);
    if (exists && existing.folder)
        return Outcome::fail(409, QStringLiteral("Bu klasörde aynı adda bir klasör var: ") + name);
    if (exists && checkVersion) {
        if (expectedVersion < 0)
            return Outcome::fail(409, QStringLiteral("Dosya sunucuda zaten var; güncellemek için beklenen sürüm gerekli: ") + name);
        if (expectedVersion != existing.version)
            return Outcome::fail(409, QStringLiteral("Dosya sunucuda değişmiş (sunucudaki sürüm %1, beklenen %2): ")
                                          .arg(existing.version)
                                          .arg(expectedVersion)
                                      + name);
    }
    QString error;
    if (!placeBlob(blob, consumed, &error))
        return Outcome::fail(507, QStringLiteral("Dosya içeriği kaydedilemedi: ") + error);
    const QString now = nowText();
    int64_t nodeId = 0;
    int64_t version = 1;
    if (exists) {
        nodeId = existing.id;
        version = existing.version + 1;
        Stmt u(db, "UPDATE nodes SET version = ?, sha256 = ?, size = ?, updated_at = ? WHERE id = ?");
        u.bind(1, version).bind(2, blob.sha256).bind(3, blob.size).bind(4, now).bind(5, nodeId);
        if (u.step() != SQLITE_DONE)
            return Outcome::fail(500, msgInternal);
    } else {
        Stmt i(db, "INSERT INTO nodes(user_id, parent_id, name, type, version, sha256, size, created_at, updated_at) "
                   "VALUES (?, ?, ?, 'file', 1, ?, ?, ?, ?)");
        i.bind(1, userId).bind(2, parentId).bind(3, name).bind(4, blob.sha256).bind(5, blob.size).bind(6, now).bind(7, now);
        if (i.step() != SQLITE_DONE)
            return Outcome::fail(500, msgInternal);
        nodeId = sqlite3_last_insert_rowid(db);
    }
    Stmt h(db, "INSERT INTO versions(node_id, version, sha256, size, device, created_at) VALUES (?, ?, ?, ?, ?, ?)");
    h.bind(1, nodeId).bind(2, version).bind(3, blob.sha256).bind(4, blob.size).bind(5, device).bind(6, now);
    if (h.step() != SQLITE_DONE)
        return Outcome::fail(500, msgInternal);
    loadNode(userId, nodeId, stored);
    stored->path = pathOf(userId, *stored);
    return Outcome::success();
}

Outcome Store::commitUpload(int64_t userId, int64_t parentId, const QString &name, int64_t expectedVersion,
                            const StagedBlob &blob, const QString &device, Node *stored)
{
    // the staged file is removed unless it became a blob; once renamed, its name may
    // already belong to another upload's staging file
    struct Cleanup
    {
        QByteArray path;
        bool consumed = false;
        ~Cleanup()
        {
            if (!consumed)
                ::unlink(path.constData());
        }
    } cleanup{QFile::encodeName(blob.tempPath)};
    const QString problem = nameProblem(name);
    if (!problem.isEmpty())
        return Outcome::fail(400, problem);
    std::lock_guard lock(mutex);
    Tx tx(*this);
    if (!tx.ok)
        return Outcome::fail(503, msgInternal);
    const Outcome parent = checkParent(userId, parentId);
    if (!parent.ok())
        return parent;
    Node node;
    const Outcome result = storeContent(userId, parentId, name, expectedVersion, true, blob, &cleanup.consumed, device, &node);
    if (!result.ok())
        return result;
    if (!tx.commit())
        return Outcome::fail(500, msgInternal);
    *stored = node;
    return result;
}

Outcome Store::fileForDownload(int64_t userId, int64_t nodeId, Node *file)
{
    std::lock_guard lock(mutex);
    Node node;
    if (nodeId < 1 || !loadNode(userId, nodeId, &node) || node.trashed || node.folder)
        return Outcome::fail(404, QStringLiteral("Dosya bulunamadı."));
    *file = node;
    return Outcome::success();
}

// ---------------------------------------------------------------- administration

Outcome Store::resolvePath(int64_t userId, const QString &path, bool includeTrash, Node *node)
{
    std::lock_guard lock(mutex);
    const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.isEmpty())
        return Outcome::fail(400, QStringLiteral("Yol boş olamaz."));
    int64_t parent = 0;
    Node current;
    for (int i = 0; i < parts.size(); ++i) {
        bool found = findLiveChild(userId, parent, parts[i], &current);
        if (!found && includeTrash && i == parts.size() - 1) {
            // the most recently trashed node of that name
            Stmt s(db, "SELECT id, parent_id, name, type, version, sha256, size, trashed FROM nodes "
                       "WHERE user_id = ? AND parent_id = ? AND name = ? ORDER BY trashed_at DESC, id DESC LIMIT 1");
            s.bind(1, userId).bind(2, parent).bind(3, parts[i]);
            found = s.step() == SQLITE_ROW;
            if (found)
                current = readNode(s);
        }
        if (!found)
            return Outcome::fail(404, QStringLiteral("Yol bulunamadı: ") + path);
        parent = current.id;
    }
    current.path = pathOf(userId, current);
    *node = current;
    return Outcome::success();
}

Outcome Store::putFile(int64_t userId, const QString &path, const StagedBlob &blob, const QString &device, Node *stored)
{
    // the staged file is removed unless it became a blob; once renamed, its name may
    // already belong to another upload's staging file
    struct Cleanup
    {
        QByteArray path;
        bool consumed = false;
        ~Cleanup()
        {
            if (!consumed)
                ::unlink(path.constData());
        }
    } cleanup{QFile::encodeName(blob.tempPath)};
    const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.isEmpty())
        return Outcome::fail(400, QStringLiteral("Yol boş olamaz."));
    for (const QString &part : parts) {
        const QString problem = nameProblem(part);
        if (!problem.isEmpty())
            return Outcome::fail(400, problem + QStringLiteral(" Yol: ") + path);
    }
    std::lock_guard lock(mutex);
    Tx tx(*this);
    if (!tx.ok)
        return Outcome::fail(503, msgInternal);
    int64_t parent = 0;
    const Outcome folders = makeFolders(userId, parts, 0, &parent);
    if (!folders.ok())
        return folders;
    Node node;
    const Outcome result = storeContent(userId, parent, parts.last(), -1, false, blob, &cleanup.consumed, device, &node);
    if (!result.ok())
        return result;
    if (!tx.commit())
        return Outcome::fail(500, msgInternal);
    *stored = node;
    return result;
}

Outcome Store::makeFolders(int64_t userId, const QStringList &parts, int64_t movingId, int64_t *parent)
{
    // every part but the last, which the caller names
    *parent = 0;
    for (int i = 0; i + 1 < parts.size(); ++i) {
        Node folder;
        if (findLiveChild(userId, *parent, parts[i], &folder)) {
            if (!folder.folder)
                return Outcome::fail(409, QStringLiteral("Yolda bir dosya var: ") + parts.mid(0, i + 1).join(QLatin1Char('/')));
            if (movingId && folder.id == movingId)
                return Outcome::fail(409, QStringLiteral("Bir klasör kendi içine taşınamaz."));
            *parent = folder.id;
            continue;
        }
        const QString now = nowText();
        Stmt s(db, "INSERT INTO nodes(user_id, parent_id, name, type, created_at, updated_at) VALUES (?, ?, ?, 'folder', ?, ?)");
        s.bind(1, userId).bind(2, *parent).bind(3, parts[i]).bind(4, now).bind(5, now);
        if (s.step() != SQLITE_DONE)
            return Outcome::fail(500, msgInternal);
        *parent = sqlite3_last_insert_rowid(db);
    }
    return Outcome::success();
}

Outcome Store::moveNode(int64_t userId, int64_t nodeId, const QString &newPath)
{
    const QStringList parts = newPath.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.isEmpty())
        return Outcome::fail(400, QStringLiteral("Yol boş olamaz."));
    for (const QString &part : parts) {
        const QString problem = nameProblem(part);
        if (!problem.isEmpty())
            return Outcome::fail(400, problem + QStringLiteral(" Yol: ") + newPath);
    }
    std::lock_guard lock(mutex);
    Tx tx(*this);
    if (!tx.ok)
        return Outcome::fail(503, msgInternal);
    Node moving;
    if (!loadNode(userId, nodeId, &moving) || moving.trashed)
        return Outcome::fail(404, QStringLiteral("Öğe bulunamadı."));
    int64_t parent = 0;
    const Outcome folders = makeFolders(userId, parts, nodeId, &parent);
    if (!folders.ok())
        return folders;
    Node taken;
    if (findLiveChild(userId, parent, parts.last(), &taken) && taken.id != nodeId)
        return Outcome::fail(409, QStringLiteral("Hedefte aynı adlı bir öğe var: ") + newPath);
    Stmt s(db, "UPDATE nodes SET parent_id = ?, name = ?, updated_at = ? WHERE user_id = ? AND id = ?");
    s.bind(1, parent).bind(2, parts.last()).bind(3, nowText()).bind(4, userId).bind(5, nodeId);
    if (s.step() != SQLITE_DONE)
        return Outcome::fail(500, msgInternal);
    if (!tx.commit())
        return Outcome::fail(500, msgInternal);
    return Outcome::success();
}

Outcome Store::restore(int64_t userId, int64_t nodeId)
{
    std::lock_guard lock(mutex);
    Tx tx(*this);
    if (!tx.ok)
        return Outcome::fail(503, msgInternal);
    Node node;
    if (!loadNode(userId, nodeId, &node) || node.trashed != node.id)
        return Outcome::fail(404, QStringLiteral("Çöp kutusunda böyle bir öğe yok."));
    const Outcome parent = checkParent(userId, node.parentId);
    if (!parent.ok())
        return Outcome::fail(409, QStringLiteral("Öğenin klasörü artık yok; önce klasörü geri yükleyin."));
    Node clash;
    if (findLiveChild(userId, node.parentId, node.name, &clash))
        return Outcome::fail(409, QStringLiteral("Aynı adda bir öğe var: ") + node.name);
    Stmt s(db, "UPDATE nodes SET trashed = 0, trashed_at = NULL WHERE user_id = ? AND trashed = ?");
    s.bind(1, userId).bind(2, nodeId);
    Stmt r(db, "DELETE FROM deletion_records WHERE user_id = ? AND node_id = ?");
    r.bind(1, userId).bind(2, nodeId);
    if (s.step() != SQLITE_DONE || r.step() != SQLITE_DONE || !tx.commit())
        return Outcome::fail(500, msgInternal);
    return Outcome::success();
}

Outcome Store::emptyTrash(int64_t userId, int *removed)
{
    std::lock_guard lock(mutex);
    Tx tx(*this);
    if (!tx.ok)
        return Outcome::fail(503, msgInternal);
    Stmt d(db, "DELETE FROM nodes WHERE user_id = ? AND trashed != 0");
    d.bind(1, userId);
    if (d.step() != SQLITE_DONE)
        return Outcome::fail(500, msgInternal);
    *removed = sqlite3_changes(db);
    // blobs that no version of any node refers to any more
    QStringList orphans;
    {
        QDir blobs(root + QStringLiteral("/blobs"));
        for (const QString &sub : blobs.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            for (const QString &file : QDir(blobs.filePath(sub)).entryList(QDir::Files)) {
                Stmt q(db, "SELECT 1 FROM versions WHERE sha256 = ? LIMIT 1");
                q.bind(1, file);
                if (q.step() != SQLITE_ROW)
                    orphans << blobs.filePath(sub + QLatin1Char('/') + file);
            }
        }
    }
    // Only after the commit: until then the nodes may come back (a failed
    // commit, a crash), and a restorable item must keep its content.
    if (!tx.commit())
        return Outcome::fail(500, msgInternal);
    // Under the write lock again, so no upload can take up one of these blobs
    // between the check and the removal. A blob left behind by a failure here
    // is only unused space; the next purge finds it again.
    Tx removal(*this);
    if (!removal.ok)
        return Outcome::success();
    for (const QString &file : orphans) {
        Stmt q(db, "SELECT 1 FROM versions WHERE sha256 = ? LIMIT 1");
        q.bind(1, QFileInfo(file).fileName());
        if (q.step() == SQLITE_DONE)
            QFile::remove(file);
    }
    return Outcome::success();
}

QJsonArray Store::list(int64_t userId)
{
    std::lock_guard lock(mutex);
    exec("BEGIN");
    QHash<int64_t, Node> nodes;
    {
        Stmt s(db, "SELECT id, parent_id, name, type, version, sha256, size, trashed FROM nodes WHERE user_id = ?");
        s.bind(1, userId);
        while (s.step() == SQLITE_ROW) {
            Node n = readNode(s);
            nodes.insert(n.id, n);
        }
    }
    const QHash<int64_t, QString> paths = computePaths(nodes);
    std::vector<Node> all;
    for (auto it = nodes.begin(); it != nodes.end(); ++it) {
        it->path = paths.value(it.key());
        all.push_back(*it);
    }
    std::sort(all.begin(), all.end(), [](const Node &a, const Node &b) {
        return a.path != b.path ? a.path < b.path : a.id < b.id;
    });
    QJsonArray out;
    for (const Node &n : all) {
        QJsonObject o = n.toJson();
        o.insert(QStringLiteral("trashed"), n.trashed != 0);
        if (!n.folder) {
            QJsonArray versions;
            Stmt v(db, "SELECT version, sha256, size, device, created_at FROM versions WHERE node_id = ? ORDER BY version");
            v.bind(1, n.id);
            while (v.step() == SQLITE_ROW) {
                QJsonObject entry;
                entry.insert(QStringLiteral("version"), double(v.integer(0)));
                entry.insert(QStringLiteral("sha256"), v.text(1));
                entry.insert(QStringLiteral("size"), double(v.integer(2)));
                entry.insert(QStringLiteral("device"), v.text(3));
                entry.insert(QStringLiteral("created_at"), v.text(4));
                versions.append(entry);
            }
            o.insert(QStringLiteral("versions"), versions);
        }
        Stmt r(db, "SELECT kind FROM deletion_records WHERE user_id = ? AND node_id = ? ORDER BY id");
        r.bind(1, userId).bind(2, n.id);
        QJsonArray kinds;
        while (r.step() == SQLITE_ROW)
            kinds.append(r.text(0));
        if (!kinds.isEmpty())
            o.insert(QStringLiteral("deletion_records"), kinds);
        out.append(o);
    }
    exec("COMMIT");
    return out;
}

Outcome Store::versionContent(int64_t userId, int64_t nodeId, int64_t version, QString *blobFile)
{
    std::lock_guard lock(mutex);
    Node node;
    if (!loadNode(userId, nodeId, &node) || node.folder)
        return Outcome::fail(404, QStringLiteral("Dosya bulunamadı."));
    Stmt s(db, "SELECT sha256 FROM versions WHERE node_id = ? AND version = ?");
    s.bind(1, nodeId).bind(2, version > 0 ? version : node.version);
    if (s.step() != SQLITE_ROW)
        return Outcome::fail(404, QStringLiteral("Bu sürüm bulunamadı."));
    *blobFile = blobPath(s.text(0));
    return Outcome::success();
}

// ---------------------------------------------------------------- fault switch

std::optional<Fault::Action> faultActionFromString(const QString &text)
{
    if (text == QLatin1String("status"))
        return Fault::Status;
    if (text == QLatin1String("cut"))
        return Fault::Cut;
    if (text == QLatin1String("corrupt"))
        return Fault::Corrupt;
    if (text == QLatin1String("slow"))
        return Fault::Slow;
    return std::nullopt;
}

namespace {
QString faultActionToString(Fault::Action action)
{
    switch (action) {
    case Fault::Status: return QStringLiteral("status");
    case Fault::Cut: return QStringLiteral("cut");
    case Fault::Corrupt: return QStringLiteral("corrupt");
    case Fault::Slow: return QStringLiteral("slow");
    }
    return {};
}
} // namespace

Outcome Store::addFault(const Fault &fault)
{
    if (!fault.pathPrefix.startsWith(QLatin1Char('/')))
        return Outcome::fail(400, QStringLiteral("Yol öneki \"/\" ile başlamalı."));
    if (fault.remaining < 1)
        return Outcome::fail(400, QStringLiteral("Tekrar sayısı en az 1 olmalı."));
    if (fault.action == Fault::Status && (fault.status < 400 || fault.status > 599))
        return Outcome::fail(400, QStringLiteral("Durum kodu 400 ile 599 arasında olmalı."));
    if (fault.action == Fault::Slow && fault.rate < 1)
        return Outcome::fail(400, QStringLiteral("Hız en az 1 bayt/saniye olmalı."));
    std::lock_guard lock(mutex);
    Tx tx(*this);
    Stmt s(db, "INSERT INTO faults(method, path_prefix, action, status, remaining, rate) VALUES (?, ?, ?, ?, ?, ?)");
    s.bind(1, fault.method.toUpper()).bind(2, fault.pathPrefix).bind(3, faultActionToString(fault.action));
    s.bind(4, int64_t(fault.status)).bind(5, fault.remaining).bind(6, fault.rate);
    if (!tx.ok || s.step() != SQLITE_DONE || !tx.commit())
        return Outcome::fail(500, msgInternal);
    return Outcome::success();
}

Outcome Store::clearFaults()
{
    std::lock_guard lock(mutex);
    if (!exec("DELETE FROM faults"))
        return Outcome::fail(500, msgInternal);
    return Outcome::success();
}

std::optional<Fault> Store::takeFault(const QString &method, const QString &path)
{
    std::lock_guard lock(mutex);
    {
        // cheap check without the write lock: almost every request finds nothing here
        Stmt any(db, "SELECT 1 FROM faults WHERE remaining > 0 LIMIT 1");
        if (any.step() != SQLITE_ROW)
            return std::nullopt;
    }
    Tx tx(*this);
    if (!tx.ok)
        return std::nullopt;
    Stmt s(db, "SELECT id, method, path_prefix, action, status, remaining, rate FROM faults "
               "WHERE remaining > 0 AND (method = '' OR method = ?) AND substr(?, 1, length(path_prefix)) = path_prefix "
               "ORDER BY id LIMIT 1");
    s.bind(1, method.toUpper()).bind(2, path);
    if (s.step() != SQLITE_ROW)
        return std::nullopt;
    Fault f;
    f.id = s.integer(0);
    f.method = s.text(1);
    f.pathPrefix = s.text(2);
    f.action = faultActionFromString(s.text(3)).value_or(Fault::Status);
    f.status = int(s.integer(4));
    f.remaining = s.integer(5) - 1;
    f.rate = s.integer(6);
    Stmt u(db, "UPDATE faults SET remaining = remaining - 1 WHERE id = ?");
    u.bind(1, f.id);
    if (u.step() != SQLITE_DONE || !tx.commit())
        return std::nullopt;
    return f;
}

// ---------------------------------------------------------------- staging

BlobWriter::BlobWriter(const QString &tempDir) : dir(tempDir) {}

BlobWriter::~BlobWriter()
{
    if (fd >= 0)
        ::close(fd);
    if (!handedOver && !path.isEmpty())
        ::unlink(QFile::encodeName(path).constData());
    if (hash)
        EVP_MD_CTX_free(static_cast<EVP_MD_CTX *>(hash));
}

bool BlobWriter::open(QString *error)
{
    QByteArray templ = QFile::encodeName(dir + QStringLiteral("/upload-XXXXXX"));
    fd = ::mkostemp(templ.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = QStringLiteral("Geçici dosya oluşturulamadı: ") + QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    path = QFile::decodeName(templ);
    auto *ctx = EVP_MD_CTX_new();
    hash = ctx;
    if (!ctx || EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1) {
        *error = QStringLiteral("Özet hesaplanamadı.");
        return false;
    }
    return true;
}

bool BlobWriter::write(const char *data, size_t length)
{
    if (failed || fd < 0)
        return false;
    EVP_DigestUpdate(static_cast<EVP_MD_CTX *>(hash), data, length);
    while (length > 0) {
        const ssize_t n = ::write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            failed = true;
            return false;
        }
        data += n;
        length -= size_t(n);
        size += n;
    }
    return true;
}

bool BlobWriter::finish(StagedBlob *blob, QString *error)
{
    if (failed || fd < 0) {
        *error = QStringLiteral("Dosya diske yazılamadı.");
        return false;
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        fd = -1;
        *error = QStringLiteral("Dosya diske yazılamadı.");
        return false;
    }
    fd = -1;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(static_cast<EVP_MD_CTX *>(hash), digest, &length);
    blob->tempPath = path;
    blob->sha256 = QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex());
    blob->size = size;
    handedOver = true;
    return true;
}

bool stageFile(const QString &tempDir, const QString &source, StagedBlob *blob, QString *error)
{
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("Dosya okunamadı: ") + source;
        return false;
    }
    BlobWriter writer(tempDir);
    if (!writer.open(error))
        return false;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const qint64 n = in.read(buffer.data(), qint64(buffer.size()));
        if (n < 0) {
            *error = QStringLiteral("Dosya okunamadı: ") + source;
            return false;
        }
        if (n == 0)
            break;
        if (!writer.write(buffer.data(), size_t(n))) {
            *error = QStringLiteral("Dosya diske yazılamadı.");
            return false;
        }
    }
    return writer.finish(blob, error);
}

} // namespace kumat::server
