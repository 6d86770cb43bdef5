#pragma once

#include <QJsonArray>
#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QString>

#include <cstdint>
#include <mutex>
#include <optional>

struct sqlite3;

namespace kumat::server {

// Outcome of a store operation: an HTTP-like status and a message for the user.
struct Outcome
{
    int status = 200;
    QString message;

    bool ok() const { return status >= 200 && status < 300; }
    static Outcome success() { return {}; }
    static Outcome fail(int status, const QString &message) { return {status, message}; }
};

struct Node
{
    int64_t id = 0;
    int64_t parentId = 0; // 0: top of the user's tree
    QString name;
    bool folder = false;
    int64_t version = 0;
    QString sha256;
    int64_t size = 0;
    int64_t trashed = 0; // 0: live; otherwise the id of the node whose deletion took this one along
    QString path;

    QJsonObject toJson() const;
};

struct User
{
    int64_t id = 0;
    QString email;
};

// Content that has been streamed to a temporary file, flushed to disk and hashed,
// ready to be placed into the blob folder.
struct StagedBlob
{
    QString tempPath;
    QString sha256;
    int64_t size = 0;
};

// A deliberate failure for tests: the next `remaining` requests whose method
// matches (empty: any) and whose path starts with `pathPrefix` go wrong this way.
struct Fault
{
    enum Action { Status, Cut, Corrupt, Slow };
    int64_t id = 0;
    QString method;
    QString pathPrefix;
    Action action = Status;
    int status = 503;
    int64_t remaining = 1;
    int64_t rate = 0; // bytes per second, for Slow (request and reply bodies both)
};

std::optional<Fault::Action> faultActionFromString(const QString &text);

// Kinds of deletion records the web portal can leave behind.
enum class RecordKind { Deleted, DeletedItems, Tombstones, DeletedIds, FlaggedDeleted, FlaggedIsDeleted, FlaggedDeletedAt };

std::optional<RecordKind> recordKindFromString(const QString &text);
QString recordKindToString(RecordKind kind);

// Judges a single node name; returns an empty string when it is acceptable.
QString nameProblem(const QString &name);

// Users, tokens, the node tree, version history and deletion records in one
// SQLite database, file contents in a content-addressed blob folder beside it.
// Several processes (the server and the admin commands) may use one data folder
// at once: every change runs in an IMMEDIATE transaction and waits for the lock.
// Within one process all database access is serialised by a mutex.
class Store
{
public:
    Store() = default;
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    bool open(const QString &dataDir, QString *error);
    QString dataDir() const { return root; }
    QString tempDir() const;
    void removeStaleStaging();
    QString blobPath(const QString &sha256) const;

    // accounts
    Outcome addUser(const QString &email, const QString &password);
    Outcome login(const QString &email, const QString &password, const QString &deviceName, QString *token);
    std::optional<User> userForToken(const QString &token, QString *deviceName = nullptr);
    std::optional<User> userByEmail(const QString &email);

    // tree
    // The reply body as compact JSON text: with tens of thousands of nodes,
    // building a JSON object per node and serialising the tree of them cost
    // far more than the database work. Empty when the database could not be
    // read to the end: a client takes a partial tree for deletions.
    QByteArray snapshot(int64_t userId);
    Outcome createFolder(int64_t userId, int64_t parentId, const QString &name, Node *created);
    Outcome trashNode(int64_t userId, int64_t nodeId, std::optional<RecordKind> record);
    // Places the staged content and records it as a new file or a new version.
    // expectedVersion < 0 means the form carried none. The staged file is consumed either way.
    Outcome commitUpload(int64_t userId, int64_t parentId, const QString &name, int64_t expectedVersion,
                         const StagedBlob &blob, const QString &device, Node *stored);
    Outcome fileForDownload(int64_t userId, int64_t nodeId, Node *file);

    // administration
    Outcome resolvePath(int64_t userId, const QString &path, bool includeTrash, Node *node);
    Outcome putFile(int64_t userId, const QString &path, const StagedBlob &blob, const QString &device, Node *stored);
    Outcome restore(int64_t userId, int64_t nodeId);
    // Renames or moves a live node to another path, keeping its id, version
    // and content, as the web portal or another device does; missing folders
    // on the way are made.
    Outcome moveNode(int64_t userId, int64_t nodeId, const QString &newPath);
    Outcome emptyTrash(int64_t userId, int *removed);
    QJsonArray list(int64_t userId);
    Outcome versionContent(int64_t userId, int64_t nodeId, int64_t version, QString *blobFile);

    // fault switch
    Outcome addFault(const Fault &fault);
    Outcome clearFaults();
    // Consumes one use of the first matching fault, if any.
    std::optional<Fault> takeFault(const QString &method, const QString &path);

private:
    struct Tx;
    static const char *const schemaV1;
    bool exec(const char *sql, QString *error = nullptr);
    bool migrate(QString *error);
    bool loadNode(int64_t userId, int64_t nodeId, Node *node);
    bool findLiveChild(int64_t userId, int64_t parentId, const QString &name, Node *node);
    // The folders above the last part of a path, made where missing, under a
    // transaction of the caller's; `movingId` (or 0) may not be one of them.
    Outcome makeFolders(int64_t userId, const QStringList &parts, int64_t movingId, int64_t *parent);
    QString pathOf(int64_t userId, const Node &node);
    bool placeBlob(const StagedBlob &blob, bool *consumed, QString *error);
    Outcome storeContent(int64_t userId, int64_t parentId, const QString &name, int64_t expectedVersion,
                         bool checkVersion, const StagedBlob &blob, bool *consumed, const QString &device, Node *stored);
    Outcome checkParent(int64_t userId, int64_t parentId);

    std::recursive_mutex mutex;
    sqlite3 *db = nullptr;
    QString root;

    // Every committed write through this store; with SQLite's data_version
    // (which moves on writes by other processes, such as the administration
    // commands) it tells whether a snapshot written before still holds.
    uint64_t writes = 0;
    struct CachedSnapshot
    {
        uint64_t writes = 0;
        int64_t dataVersion = 0;
        QByteArray body;
    };
    QHash<int64_t, CachedSnapshot> snapshots;
    int64_t dataVersion();
};

// Streams content into a temporary file in the store's temp folder while hashing it.
class BlobWriter
{
public:
    explicit BlobWriter(const QString &tempDir);
    ~BlobWriter();
    BlobWriter(const BlobWriter &) = delete;
    BlobWriter &operator=(const BlobWriter &) = delete;

    bool open(QString *error);
    bool write(const char *data, size_t length);
    // Flushes to disk; on success the writer hands the file over in `blob`.
    bool finish(StagedBlob *blob, QString *error);
    int64_t written() const { return size; }

private:
    QString dir;
    QString path;
    int fd = -1;
    void *hash = nullptr; // EVP_MD_CTX
    int64_t size = 0;
    bool failed = false;
    bool handedOver = false;
};

// Reads a local file into the temp folder the way an upload would.
bool stageFile(const QString &tempDir, const QString &source, StagedBlob *blob, QString *error);

} // namespace kumat::server
