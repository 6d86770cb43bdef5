#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonArray>
#include <QList>
#include <QMap>
#include <QRandomGenerator>
#include <QSet>
#include <QString>
#include <QStringList>

class PassFixture;
class Device;

// One step of a random history. Every field is concrete, so a step replays the
// same way on a fresh account; a step whose target no longer exists (because
// the shrinker removed the step that made it) does nothing.
struct HistoryOp
{
    enum Kind {
        LocalWrite,      // create or edit a file
        LocalTouch,      // new modification time, same content
        LocalDelete,
        LocalRename,     // file to another path
        LocalMkdir,
        LocalRemoveDir,
        LocalRenameDir,
        PortalPut,       // another device or the web portal stores a file
        PortalDelete,    // deleted on the web portal, leaving a deletion record
        MobileDelete,    // deleted from the mobile application, no record
        Pass,
        KilledPass,      // a pass in another process, killed with SIGKILL after `content` ms
        Settle,          // fault-free passes on every device until they agree
        MoveFolder,      // the sync folder goes "away", is replaced by a "new" empty one, or comes "back" (path2)
        HostilePut,      // a server item the engine has to refuse or keep apart; path2 names a store rewrite
        PortalMove,      // renamed or moved on the web portal or another device, keeping its id (to path2)
        Unreadable,      // a folder or file of the device that nothing can read or list until Readable
        Readable,        // every entry made unreadable on the device can be read again
        SwitchAccount,   // the device signs in to account `content` (0 or 1) with the same folder
        ServerRestore,   // the server goes back to an older backup of the file at path (version `content` back)
        SecondEngine,    // another copy of the program starts a pass on the device's folder
        AnswerRemovals,  // the user answers the device's question about held removals: remove (content 1) or keep
    };

    Kind kind = Pass;
    int device = 0;
    QString path;
    QString path2;         // rename target; deletion-record kind for PortalDelete
    int content = 0;       // content number; the bytes follow from it
    int size = 0;
    qint64 touchSeconds = 0;

    // Pass options
    int fault = -1;        // index into the fault table, -1 for none
    int faultCount = 1;
    int stopAfterReplies = 0;  // stop the engine when this many replies have finished
    bool stopOnProgress = false; // stop at the first transfer progress signal
    int midAfterReplies = 0;   // run the nested step when this many replies have finished
    int midOnLog = 0;          // run the nested step at this log line of the engine
    QList<HistoryOp> nested;   // one user step made while the pass waits on the server

    QString describe() const;
};

struct Violation
{
    bool found = false;
    QString text;
};

// Figures over everything the driver ran, for the report at the end.
struct HistoryFigures
{
    qint64 histories = 0;
    qint64 operations = 0;
    qint64 passes = 0;
    qint64 faults = 0;
    qint64 stops = 0;
    qint64 nestedSteps = 0;
    qint64 violations = 0;
    qint64 kills = 0;
    qint64 folderMoves = 0;
    qint64 hostileItems = 0;
    qint64 scenarios = 0;
    qint64 unreadable = 0;
    qint64 accountSwitches = 0;
    qint64 restores = 0;
    qint64 secondEngines = 0;
    qint64 signInsRefused = 0;
    qint64 removalQuestions = 0;
};

// Runs one history on a fresh account (one or two devices) and checks the
// invariants after every pass. Either generates its steps from a seed or
// replays a given list.
class HistoryRunner
{
public:
    HistoryRunner(PassFixture &fixture, int devices, HistoryFigures *figures);
    ~HistoryRunner();

    // Passes are, half of the time, run in a helper process that is killed
    // with SIGKILL at a random moment.
    void setKilledPasses(bool on) { killedPasses = on; }

    // Generates and applies `steps` random steps; false on the first violation.
    bool runRandom(quint64 seed, int steps);
    // Replays the list; false on the first violation.
    bool replay(const QList<HistoryOp> &ops);

    const QList<HistoryOp> &applied() const { return ops; }
    QString violation() const { return failure.text; }

    static QByteArray contentBytes(int content, int size);
    static QList<QString> faultTable();

private:
    HistoryOp generate(QRandomGenerator &random, int index);
    HistoryOp generateLocal(QRandomGenerator &random, int index, int device);
    HistoryOp generateServer(QRandomGenerator &random, int index);
    bool apply(const HistoryOp &op);
    bool applyUserStep(const HistoryOp &op);
    bool runPass(const HistoryOp &op);
    bool runKilledPass(const HistoryOp &op);
    bool settle();
    void moveFolder(const HistoryOp &op);
    void putHostile(const HistoryOp &op);
    HistoryOp generateHostile(QRandomGenerator &random, int index);
    void queueScenario(QRandomGenerator &random, int index);
    bool displaced(int device) const { return !displacements.at(device).aside.isEmpty(); }
    void makeUnreadable(const HistoryOp &op);
    // Every entry made unreadable can be read again (reveal) or not (hide);
    // the runner's own checks look through them, the engine never does.
    void setHiddenReadable(bool readable);
    void revealAll();
    QMap<QString, QByteArray> hiddenContents(int device);
    void switchAccount(const HistoryOp &op);
    QString accountEmail(int account) const;
    QString accountKey(const QString &email) const;
    void restoreServer(const HistoryOp &op);
    void runSecondEngine(const HistoryOp &op);
    QMap<QString, QByteArray> folderHashes(int device, bool withEngineEntries) const;
    QJsonArray serverListOf(int device) const;
    QSet<QByteArray> reissuedContents() const;

    // invariants
    QSet<QByteArray> availableContents();
    bool checkContentKept(const QString &when);
    bool checkOutsideUntouched(const QString &when);
    bool checkConverged(QString *difference);
    struct ServerCall
    {
        qint64 id = 0;
        bool folderAway = false;
    };
    bool checkServerCalls(int device, const QList<QJsonObject> &statesBefore, const QList<ServerCall> &trashes,
                          const QList<qint64> &downloads, const QMap<QString, QByteArray> &archivedBefore,
                          const QHash<qint64, qint64> &versionsAtSnapshot, const QString &when);
    QMap<QString, QByteArray> archivedFiles(int device) const;
    bool refused(const QString &serverPath) const;
    bool checkHiddenUntouched(int device, const QMap<QString, QByteArray> &before, const QMap<QString, qint64> &versionsBefore,
                              const QList<ServerCall> &trashes, const QString &when);
    bool checkPairedAnew(int device, const QMap<QString, QByteArray> &folderBefore, const QJsonArray &listBefore,
                         const QList<ServerCall> &trashes, const QString &when);
    bool checkNoOlderVersionWithoutCopy(int device, const QMap<QString, QByteArray> &localBefore, const QString &when);
    bool checkRemovalGuard(int device, int records, int trashed, int removedHere, const QString &when);
    void trackLocalContents();
    void fail(const QString &text);

    QMap<QString, QByteArray> outsideManifest() const;
    QStringList localFiles(int device) const;
    QStringList localDirs(int device) const;

    PassFixture &fixture;
    QList<Device *> devices;
    HistoryFigures *figures;
    QList<HistoryOp> ops;
    // every content that has to survive, with where it was first seen
    QHash<QByteArray, QString> tracked;
    QMap<QString, QByteArray> outsideBefore;
    QStringList cwdBefore;
    QJsonArray lastServerList;
    // the last listing of each account, by e-mail
    QHash<QString, QJsonArray> serverLists;
    Violation failure;
    bool killedPasses = false;

    // A sync folder that is not where the engine was told it is: where it
    // went, and the files the user had in it then.
    struct Displacement
    {
        QString aside;
        QSet<QString> hadPaths;
    };
    QList<Displacement> displacements;
    // folders moved out of a sync folder's place, which still hold what the user had
    QStringList asideFolders;
    int moveCounter = 0;
    // server paths (and what lies below them) that no desktop is expected to hold
    QStringList refusedRoots;
    QList<HistoryOp> pending;

    // entries made unreadable: absolute path and device, in the order made
    struct Hidden
    {
        QString path;
        int device = 0;
    };
    QList<Hidden> hidden;
    bool hiddenReadable = true;
    // the account each device is signed in to (0 is the fixture's), and the
    // key each account's records were bound to when known
    QList<int> deviceAccount;
    bool secondAccount = false;
    QHash<QString, QString> boundKeys;
    // contents a server restore took away, by node id: a local copy of one of
    // them may only be replaced while a copy is kept
    QHash<qint64, QSet<QByteArray>> restoredAway;
    // the lowest version number a restore took away, by node id: once the
    // server hands that number out again, a desktop that recorded the old
    // one sees an ordinary newer version and cannot know its content left
    // the server
    QHash<qint64, qint64> restoredFrom;
    // the device's last pass held removals back and asks the user
    QList<bool> asked;
    QList<bool> completedOnce;
    QList<bool> approvedRemovals;
};

// Shortens a failing list by removing chunks while it still fails (delta
// debugging over the step list), within a budget of replays.
QList<HistoryOp> shrinkHistory(PassFixture &fixture, int devices, const QList<HistoryOp> &failing, int budget,
                               QString *lastViolation);

// Runs `count` seeded histories (seed, seed+1, ...); on the first violation
// shrinks it and returns false with the seed, the violation and the shortest
// step list in `report`. The figures line goes into `report` either way.
bool runSeededHistories(PassFixture &fixture, quint64 seed, int count, int steps, bool killedPasses, QString *report);

// The same, with the first seed, the number of histories and the steps taken
// from the environment where set:
//   KUMAT_HISTORY_SEED   first seed (`defaultSeed` when unset, "random" for a new one)
//   KUMAT_HISTORIES      number of histories (`defaultCount` when unset)
//   KUMAT_HISTORY_STEPS  steps per history (30 when unset)
bool runHistoriesFromEnvironment(PassFixture &fixture, quint64 defaultSeed, int defaultCount, bool killedPasses,
                                 QString *report);
