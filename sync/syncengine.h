#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QVariant>

#include <atomic>
#include <memory>
#include <vector>

#include "folderidentity.h"
#include "folderwatcher.h"

class ApiClient;
class QLockFile;
struct PassContext;
namespace DirWalk {
struct Entry;
}

// Keeps one local folder and the user's server tree in step. Everything runs on
// the GUI thread; a pass waits on the server in nested event loops, so timers,
// folder notifications and stop() arrive while a pass executes and the two
// flags below keep that safe.
class SyncEngine : public QObject
{
    Q_OBJECT

public:
    struct LocalFile
    {
        QString absolutePath;
        QString name;
        QString hash;
        qint64 size = 0;
        qint64 createdMs = 0;
        qint64 modifiedMs = 0;
    };

    // A live server item as a pass reads it: the record as the server sent
    // it, and the members that every phase asks about, read out of it once.
    // A lookup in a JSON object costs as much as a short string search, and
    // each phase would otherwise make several for every item on every pass.
    struct RemoteItem
    {
        RemoteItem() = default;
        explicit RemoteItem(const QJsonObject &json);

        QJsonObject json;
        // "id" exactly as sent (stored so in the records), and read as a
        // whole number
        QJsonValue idValue;
        qint64 id = 0;
        qint64 version = 0;
        QString sha256;
        bool folder = false;
    };

    // A state record as stateRecord makes it, with its values read.
    struct RecordedFile
    {
        QString name;
        QString hash;
        qint64 size = 0;
        qint64 createdMs = 0;
        qint64 modifiedMs = 0;
        qint64 version = 0;
        // "remote_id", a text or a whole number
        QString idText;
        qint64 idNumber = 0;
        bool idIsText = false;
    };
    // The two sides a pass removes from: files here that the server no
    // longer lists, and server files deleted here.
    enum RemovalSide { LocalRemoval = 0, ServerDeletion = 1 };

    SyncEngine(ApiClient *api, QObject *parent = nullptr);
    ~SyncEngine() override;

    void configure(const QString &folder, int intervalMinutes);
    void start();
    void stop();
    bool isRunning() const;
    // Whether start() may make a missing folder (the default). A folder that
    // was synchronised before is not made again: the engine waits for it.
    void setMayCreateFolder(bool may);
    bool isWaitingForFolder() const;

    // Paths: relative paths are "/"-separated and relative to syncFolder.
    QString normalizedRelative(const QString &absolutePath) const;
    QString absolute(const QString &relativePath) const;
    bool isSafeRelativePath(const QString &relativePath) const;
    QString conflictPath(const QString &relativePath, const QString &label) const;

    // What a scan could not see: folders it could not list (and entries of
    // unknown kind), and files it could not read. Relative paths.
    struct ScanGaps
    {
        QStringList folders;
        QStringList files;
        // the sync folder itself could not be listed
        bool top = false;
        // stop() came while it ran: it ended without having seen everything
        bool stopped = false;
    };

    // Local scan and hashing.
    // Engine entries that an interrupted write left behind (partial
    // downloads, safe-write temporaries) go to `leftovers` when given, and
    // what could not be seen to `gaps`; the listing digests of the watched
    // directories, as this scan saw them, to `listings`. The files are read
    // on threads of their own while this waits in an event loop; a stop()
    // meanwhile ends it early, with `gaps->stopped` set and no files.
    QMap<QString, LocalFile> scanLocal(QStringList *leftovers = nullptr, ScanGaps *gaps = nullptr,
                                       QHash<QString, QByteArray> *listings = nullptr) const;
    QString hashFile(const QString &absolutePath) const;

    // The state file ".kumat-sync.json".
    QJsonObject stateRecord(const LocalFile &file, qint64 remoteVersion, const QJsonValue &remoteId) const;
    void loadState();
    void saveState();

    void rebuildWatchers();

    // The user's answer to removalsNeedAnswer: remove them in the next pass,
    // or keep them, making the side they would leave whole again from the
    // other (downloaded or uploaded again) and recording that.
    void answerRemovals(int side, bool remove);
    // A pass soon, as after a change in the folder (after signing in again).
    void syncSoon();
    // How many removals on one side a pass makes without asking: at most a
    // quarter of the recorded files, or fewer than removalGuardMinimum.
    static constexpr int removalGuardMinimum = 20;

Q_SIGNALS:
    void log(const QString &message);
    void stateChanged(bool running);
    void notification(const QString &title, const QString &message, int severity);
    // A pass held back more removals on one side than it makes unasked; it
    // asks once, and the removals wait for answerRemovals.
    void removalsNeedAnswer(int side, int count, const QStringList &firstPaths);
    // The server refused the sign-in during a pass, which ended there with
    // nothing recorded; the engine still runs and asks for nothing more
    // until signed in again (syncSoon), or until stopped.
    void signInNeeded();
    // a pass completed and its state was recorded
    void passCompleted();
    // started, and waiting for a folder that is not there yet (true), or no
    // longer waiting (false)
    void folderWaiting(bool waiting);

private Q_SLOTS:
    void scheduleSync();
    void syncNow();
    // a watched directory changed: a pass unless only the engine wrote there
    void directoryChanged(const QString &path);
    // the awaited folder has come: the engine starts as start() would
    void checkWaitingFolder();

private:
    friend class SyncEngineTestAccess;
    class ScanJob;
    // A scan started and not yet taken in: its threads read the folder while
    // the window's thread goes on with the pass. One that goes unfinished is
    // stopped and joined, so no reading outlives the pass that started it.
    class ScanRun;
    struct ScanRunEnd
    {
        void operator()(ScanRun *run) const;
    };
    using ScanRunPtr = std::unique_ptr<ScanRun, ScanRunEnd>;
    // scanLocal in two halves, with what it is given to fill told at the start
    ScanRunPtr startScan(bool wantLeftovers, bool wantGaps, bool wantListings) const;
    // `folders`, asked of a scan started with its listings: the folders to
    // watch as the scan found them
    QMap<QString, LocalFile> finishScan(ScanRunPtr run, QStringList *leftovers, ScanGaps *gaps,
                                        QHash<QString, QByteArray> *listings, QStringList *folders = nullptr) const;
    // stops a scan whose result nothing will use, and waits for its threads
    void abandonScan(ScanRunPtr run) const;

    // The record of one local file as the scan makes it; also for a file that
    // a download has just written, so both describe a file the same way.
    LocalFile localFileAt(const QString &absolutePath) const;
    // The engine's own bookkeeping in the folder and everything below it:
    // never scanned, watched or taken from the server. Letter case counts as
    // the platform's file names count it.
    static bool isEngineEntry(const QString &relativePath);
    static bool isEngineEntry(const QString &relativePath, Qt::CaseSensitivity cs);
    // An engine entry that only an interrupted download or state write
    // leaves: "<x>.kumat-part", its save temporary, the state file's.
    static bool isLeftoverOfWrite(const QString &relativePath);
    static bool isLeftoverOfWrite(const QString &relativePath, Qt::CaseSensitivity cs);
    void removeLeftoversOfWrites(const QStringList &relativePaths);
    // Tells the user once about each place the scan could not see, and
    // again only after it was seen in between.
    void reportScanGaps(const ScanGaps &gaps);
    // the digest of what a watched directory lists, less the engine's own entries
    QByteArray watchedListing(const QString &dir) const;
    // the same of entries listed (sorted here); relativeDir ends in "/" or is empty
    static QByteArray listingDigest(std::vector<DirWalk::Entry> &entries, const QString &relativeDir);

    bool ensureRemoteFolders(const QString &relativeDir, QMap<QString, RemoteItem> &remoteItems,
                             QVariant *parentId);

    // One pass between the guard and its end; syncNow() alone sets and clears
    // what marks a pass as running.
    void runPass();
    // The phases of one pass; each works on the pass context.
    // Ties the records to the server and account signed in now; records of
    // another are not used. False when the account cannot be told yet.
    bool bindStateToAccount();
    bool fetchSnapshot(QJsonObject *snapshot);
    void takeInSnapshot(PassContext &pass, const QJsonObject &snapshot);
    // Files the server lists under a new path with the id recorded at
    // another are moved here too, their records with them.
    void followRemoteMoves(PassContext &pass);
    void followRemoteFolderMoves(PassContext &pass, const QHash<qint64, QString> &recordedPath,
                                 const QSet<qint64> &twice);
    bool folderMovedOnServer(const PassContext &pass, const QStringList &recordedKeys, const QString &from,
                             const QString &to) const;
    bool moveLocalEntry(const QString &from, const QString &to);
    void archivePortalDeletions(PassContext &pass);
    void trashLocalDeletions(PassContext &pass);
    void reconcileRemoteFiles(PassContext &pass);
    // false when the pass was stopped during the walk
    bool processLocalFiles(PassContext &pass);
    void completePass(PassContext &pass);
    void cancelPass();
    // Ends the pass, committing nothing, when the folder has gone away or is
    // no longer the directory the pass began with.
    bool syncFolderAvailable();
    void syncFolderUnavailable();
    // Takes the folder's lock, or tells why the engine cannot start.
    bool lockFolder();
    void releaseFolder();
    // Whether the folder is still the very directory the running pass began
    // with. Asked before every step that creates, writes, moves or removes in
    // it; once it says no, the pass touches nothing more and ends at its next
    // check. Outside a pass there is nothing to compare with.
    bool folderStillSame() const;
    // Makes a directory and whatever is missing above it, but only below the
    // existing sync folder: never the folder itself nor anything above it.
    // `touched`, when given, is set once it tries to make one.
    bool makeDirectoryInFolder(const QString &absoluteDir, bool *touched = nullptr) const;

    // Pieces of the reconciliation shared by several rows.
    void downloadRemoteFile(PassContext &pass, const QString &path, const RemoteItem &item, bool isNew);
    bool keptPartHolds(PassContext &pass, const QString &path, const QString &sha256, const QString &staged);
    void dropKeptPartsNotMet(const PassContext &pass);
    void pairFirstTime(PassContext &pass, const QString &path, const RemoteItem &item);
    bool keepRemoteCopy(PassContext &pass, const QString &path, const RemoteItem &item);
    // A change of a server file when baseVersion holds the version it was
    // made on, otherwise a new file.
    void uploadLocalFile(PassContext &pass, const QString &path, const LocalFile &file, const QVariant &baseVersion);
    void removeFileGoneFromServer(PassContext &pass, const QString &path);
    void reportClash(PassContext &pass, const QString &path, bool localIsFile);
    // Logs the line and shows the warning, unless `told` already holds the
    // path (a condition that lasts is told once per run); true if told now.
    bool warnOnce(QSet<QString> &told, const QString &path, const QString &logLine, const QString &warning);
    // Of the removals a pass would make on one side, those it may make now.
    QSet<QString> allowedRemovals(int side, const QStringList &candidates);
    // Applies a "keep them" answer: the records of the held-back removals go,
    // so that this pass brings those files back from the other side.
    void applyKeptRemovals();

    ApiClient *api;
    QString syncFolder;
    QTimer intervalTimer;
    QTimer debounceTimer;
    FolderWatcher watcher;
    QTimer folderWaitTimer;
    bool running = false;
    bool syncInProgress = false;
    bool mayCreateFolder = true;
    bool waitingForFolder = false;
    // the directory the running pass began with; invalid between passes
    FolderIdentity passFolder;
    // set once a step of the running pass found another directory (or none)
    mutable bool folderLost = false;
    // set when the server refused the sign-in during the running pass
    bool signInLost = false;
    // Ends the pass when the sign-in was refused; says so once.
    bool signInGone();
    QJsonObject state;
    // What a pass reads of the state `records`: the node each record was
    // made with, the nodes recorded at more than one path, and the records
    // that hold exactly what stateRecord makes, by path. Read again only when
    // the state changed, which a pass with nothing to do leaves as it was.
    struct StateIndex
    {
        QJsonObject records;
        QHash<qint64, QString> nodePaths;
        QSet<qint64> nodesTwice;
        QHash<QString, RecordedFile> files;
    };
    StateIndex stateIndex;
    const StateIndex &indexOfState();
    // the last snapshot taken in without a refusal, and what came of it
    struct KeptIntake;
    std::unique_ptr<KeptIntake> keptIntake;
    // the directory `state` was read from
    FolderIdentity stateFolder;
    // files deleted on the server that the platform's trash refused this run;
    // they stay with their records, reported once, until the user acts
    QSet<QString> trashRefused;
    // folders and files the last scans could not see, already reported
    QSet<QString> gapsReported;
    // leftovers that neither the trash nor a removal took, already reported
    QSet<QString> leftoversRefused;
    // removals held back for the user's answer, per side
    struct RemovalHold
    {
        QSet<QString> pending;
        bool approved = false;
        bool keep = false;
    };
    RemovalHold removalHolds[2];
    // paths where a file meets a folder, reported this run
    QSet<QString> clashesReported;
    // server paths this platform cannot hold, reported this run
    QSet<QString> unholdableReported;
    // Verified downloads that could not replace their file, by path: the
    // server's digest each holds. Kept beside the file (".kumat-part") and
    // put in place by a later pass while the server still has that content.
    QHash<QString, QString> keptParts;
    // held while the engine runs: one engine per folder, whichever program
    // or copy of it runs it
    std::unique_ptr<QLockFile> folderLock;
    // watched directory -> digest of its listing as the last scan saw it, so
    // that notifications for the pass's own bookkeeping start no pass
    QHash<QString, QByteArray> listingsAtPass;
    // set by stop() to end the scan running, if any
    mutable std::shared_ptr<std::atomic<bool>> scanStop;
    // the server and account `state` belongs to ("server", "account"); empty
    // for a state written before records were tied to one
    QJsonObject stateBinding;
    // the state as saveState last serialised it, and that text
    QJsonObject savedState;
    QJsonObject savedBinding;
    QByteArray savedText;
};
