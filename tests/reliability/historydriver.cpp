#include "historydriver.h"

#include "apiclient.h"
#include "passfixture.h"
#include "referenceserver.h"
#include "storerewrite.h"
#include "syncengine.h"
#include "testplatform.h"
#include "testtls.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QScopeGuard>

// The engine's and the client's private members, for watching the engine from
// outside: the state it holds and every request it makes.
class SyncEngineTestAccess
{
public:
    static QJsonObject state(const SyncEngine &engine) { return engine.state; }
};

class ApiClientTestAccess
{
public:
    static QNetworkAccessManager &network(ApiClient &client) { return client.network; }
};

namespace {

const QString stateFileName = QStringLiteral(".kumat-sync.json");
const QString completedLine = QStringLiteral("Senkronizasyon tamamlandı.");
const QString anotherCopyLine = QStringLiteral("Bu klasörü başka bir Kumat Senkronizasyon kopyası senkronize ediyor");

const QStringList folderPool = {QString(), QStringLiteral("d/"), QStringLiteral("d/e/"), QStringLiteral("f/")};
const QStringList namePool = {QStringLiteral("a.txt"), QStringLiteral("b.txt"), QStringLiteral("c.md"),
                              QStringLiteral("Rapor.txt"), QStringLiteral("özet.txt")};
const QStringList dirTargets = {QStringLiteral("g"), QStringLiteral("f"), QStringLiteral("d/e2"), QStringLiteral("d")};
const QStringList recordKinds = {QStringLiteral("deleted"), QStringLiteral("deleted_items"),
                                 QStringLiteral("tombstones"), QStringLiteral("deleted_ids"),
                                 QStringLiteral("flagged-deleted"), QStringLiteral("flagged-is_deleted"),
                                 QStringLiteral("flagged-deleted_at")};

// Server paths that name the engine's own entries, or that leave the folder.
bool isReservedPath(const QString &serverPath)
{
    const QStringList parts = QString(serverPath).replace(QLatin1Char('\\'), QLatin1Char('/')).split(QLatin1Char('/'));
    static const QStringList ownTops = {stateFileName, QStringLiteral(".kumat-conflicts"),
                                        QStringLiteral(".kumat-portal-silinenler")};
    if (ownTops.contains(parts.first()) || parts.last().endsWith(QLatin1String(".kumat-part")))
        return true;
    return std::any_of(parts.cbegin(), parts.cend(), [](const QString &part) {
        return part.isEmpty() || part == QLatin1String(".") || part == QLatin1String("..");
    });
}

bool isAtOrBelow(const QString &path, const QString &root)
{
    return path == root || path.startsWith(root + QLatin1Char('/'));
}

// Server items no desktop should take as they are. `rewrite` changes the stored
// item behind the server's back, for what its own checks would refuse:
// "name:X" gives the file the name X, "noid" takes the id of its folder away.
struct HostileSpec
{
    const char *folder;   // %1 the file name
    const char *rewrite;
};

const HostileSpec hostileSpecs[] = {
    {".kumat-conflicts/%1", ""},
    {".kumat-portal-silinenler/20260101-000000-000/%1", ""},
    {".kumat-portal-silinenler/20260101-000000-000/d/%1", ""},
    {".kumat-sync.json/%1", ""},
    {".kumat-sync.json", ""},
    {"d/%1.kumat-part", ""},
    {"derin/%2/%1", ""},     // more than a path can hold
    {"derin2/%3/%1", ""},    // many levels, short names
    {"kacak/%1", "name:.."},
    {"kacak/%1", "name:../../kacak.txt"},
    {"kacak/%1", "name:..\\..\\kacak.txt"},
    {"kacak/%1", "name:kötü\x01" "ad.txt"},
    {"kimliksiz/%1", "noid"},
};
const int hostileCount = int(sizeof(hostileSpecs) / sizeof(hostileSpecs[0]));

QString hostilePath(int spec, const QString &name)
{
    QStringList longNames;
    for (int i = 0; i < 40; ++i)
        longNames << QStringLiteral("k%1-").arg(i) + QString(110, QLatin1Char('x'));
    QStringList levels;
    for (int i = 0; i < 150; ++i)
        levels << QStringLiteral("k");
    return QString::fromUtf8(hostileSpecs[spec].folder)
        .replace(QLatin1String("%2"), longNames.join(QLatin1Char('/')))
        .replace(QLatin1String("%3"), levels.join(QLatin1Char('/')))
        .replace(QLatin1String("%1"), name);
}

QByteArray verbOf(const QNetworkReply *reply)
{
    switch (reply->operation()) {
    case QNetworkAccessManager::GetOperation:
        return "GET";
    case QNetworkAccessManager::DeleteOperation:
        return "DELETE";
    case QNetworkAccessManager::CustomOperation:
        return reply->request().attribute(QNetworkRequest::CustomVerbAttribute).toByteArray().toUpper();
    default:
        return QByteArray();
    }
}

QByteArray hashOf(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

QByteArray hashOfFile(const QString &path, bool *ok = nullptr)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (ok)
            *ok = false;
        return QByteArray();
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    if (ok)
        *ok = true;
    return hash.result().toHex();
}

bool isEngineEntry(const QString &relative)
{
    return relative == stateFileName || relative == QLatin1String(".kumat-conflicts")
        || relative.startsWith(QLatin1String(".kumat-conflicts/")) || relative == QLatin1String(".kumat-portal-silinenler")
        || relative.startsWith(QLatin1String(".kumat-portal-silinenler/")) || relative.endsWith(QLatin1String(".kumat-part"));
}

// The scan leaves hidden files and everything in hidden folders alone (a
// killed pass leaves the hidden temporary file of the state file behind).
bool isHidden(const QString &relative)
{
    return relative.startsWith(QLatin1Char('.')) || relative.contains(QLatin1String("/."));
}

QString caseFlipped(const QString &name)
{
    if (name.isEmpty())
        return name;
    QString flipped = name;
    const QChar first = flipped.at(0);
    flipped[0] = first.isUpper() ? first.toLower() : first.toUpper();
    return flipped;
}

template<typename T>
const T &pick(QRandomGenerator &random, const QList<T> &list)
{
    return list.at(int(random.bounded(quint32(list.size()))));
}

struct FaultSpec
{
    const char *method;
    const char *prefix;
    const char *action;
    int status;
};

const FaultSpec faults[] = {
    {"GET", "/api/v1/files/", "cut", 0},
    {"GET", "/api/v1/files/", "corrupt", 0},
    {"GET", "/api/v1/files/", "status", 500},
    {"POST", "/api/v1/files/upload", "cut", 0},
    {"POST", "/api/v1/files/upload", "status", 500},
    {"POST", "/api/v1/files/upload", "status", 409},
    {"DELETE", "/api/v1/nodes/", "status", 500},
    {"DELETE", "/api/v1/nodes/", "cut", 0},
    {"POST", "/api/v1/folders", "status", 500},
    {"POST", "/api/v1/folders", "cut", 0},
    {"GET", "/api/v1/sync/snapshot", "status", 500},
    {"GET", "/api/v1/sync/snapshot", "cut", 0},
    {"GET", "/api/v1/sync/snapshot", "corrupt", 0},
    {"", "/api/v1/", "status", 503},
    // the sign-in expires: at any request, at the snapshot, at a deletion
    {"", "/api/v1/", "status", 401},
    {"GET", "/api/v1/sync/snapshot", "status", 401},
    {"DELETE", "/api/v1/nodes/", "status", 401},
};
const int faultCount = int(sizeof(faults) / sizeof(faults[0]));

} // namespace

QString HistoryOp::describe() const
{
    const QString dev = QStringLiteral("dev%1").arg(device);
    switch (kind) {
    case LocalWrite:
        return QStringLiteral("%1 write %2 content#%3 (%4 bytes)").arg(dev, path).arg(content).arg(size);
    case LocalTouch:
        return QStringLiteral("%1 touch %2 %3s").arg(dev, path).arg(touchSeconds);
    case LocalDelete:
        return QStringLiteral("%1 delete %2").arg(dev, path);
    case LocalRename:
        return QStringLiteral("%1 rename %2 -> %3").arg(dev, path, path2);
    case LocalMkdir:
        return QStringLiteral("%1 mkdir %2").arg(dev, path);
    case LocalRemoveDir:
        return QStringLiteral("%1 rmdir -r %2").arg(dev, path);
    case LocalRenameDir:
        return QStringLiteral("%1 rename dir %2 -> %3").arg(dev, path, path2);
    case PortalPut:
        return QStringLiteral("portal put %1 content#%2 (%3 bytes)").arg(path).arg(content).arg(size);
    case PortalDelete:
        return QStringLiteral("portal delete %1 kind %2").arg(path, path2);
    case MobileDelete:
        return QStringLiteral("mobile delete %1").arg(path);
    case PortalMove:
        return QStringLiteral("portal move %1 -> %2").arg(path, path2);
    case Unreadable:
        return QStringLiteral("%1 makes %2 unreadable").arg(dev, path);
    case Readable:
        return QStringLiteral("%1 makes everything readable again").arg(dev);
    case SwitchAccount:
        return QStringLiteral("%1 signs in to account %2").arg(dev).arg(content);
    case ServerRestore:
        return QStringLiteral("server restored %1 to %2 version(s) back").arg(path).arg(content);
    case SecondEngine:
        return QStringLiteral("%1 second copy of the program on the same folder").arg(dev);
    case AnswerRemovals:
        return QStringLiteral("%1 answers the removal question: %2").arg(dev, content ? QStringLiteral("remove") : QStringLiteral("keep"));
    case Settle:
        return QStringLiteral("settle");
    case KilledPass:
        return QStringLiteral("%1 pass in a helper process, SIGKILL after %2 ms").arg(dev).arg(content);
    case MoveFolder:
        return QStringLiteral("%1 sync folder %2").arg(dev, path2);
    case HostilePut:
        return QStringLiteral("hostile put %1 content#%2%3")
            .arg(path.size() > 80 ? path.left(30) + QStringLiteral("...(%1 chars)...").arg(path.size()) + path.right(20) : path)
            .arg(content)
            .arg(path2.isEmpty() ? QString() : QStringLiteral(" then ") + path2);
    case Pass: {
        QString text = dev + QStringLiteral(" pass");
        if (fault >= 0) {
            const FaultSpec &f = faults[fault];
            text += QStringLiteral(" fault[%1 %2 %3 %4 x%5]")
                        .arg(QLatin1String(f.method), QLatin1String(f.prefix), QLatin1String(f.action))
                        .arg(f.status)
                        .arg(faultCount);
        }
        if (stopAfterReplies > 0)
            text += QStringLiteral(" stop-after-reply %1").arg(stopAfterReplies);
        if (stopOnProgress)
            text += QStringLiteral(" stop-at-transfer");
        for (const HistoryOp &n : nested) {
            if (midOnLog > 0)
                text += QStringLiteral(" {at log line %1: %2}").arg(midOnLog).arg(n.describe());
            else
                text += QStringLiteral(" {after reply %1: %2}").arg(midAfterReplies).arg(n.describe());
        }
        return text;
    }
    }
    return QString();
}

HistoryRunner::HistoryRunner(PassFixture &fixture, int deviceCount, HistoryFigures *figures)
    : fixture(fixture)
    , figures(figures)
{
    for (int i = 0; i < deviceCount; ++i)
        devices.append(fixture.device(QStringLiteral("dev%1").arg(i)));
    // something the engine must never touch, next to the sync folders
    QDir().mkpath(fixture.work->filePath(QStringLiteral("outside/sub")));
    QFile outside(fixture.work->filePath(QStringLiteral("outside/sub/keep.txt")));
    if (outside.open(QIODevice::WriteOnly))
        outside.write("not synchronised\n");
    outside.close();
    for (Device *d : devices)
        QDir().mkpath(d->folder);
    displacements.resize(devices.size());
    deviceAccount.fill(0, devices.size());
    asked.fill(false, devices.size());
    completedOnce.fill(false, devices.size());
    approvedRemovals.fill(false, devices.size());
    for (int i = 0; i < devices.size(); ++i) {
        QObject::connect(&devices.at(i)->engine, &SyncEngine::removalsNeedAnswer, &devices.at(i)->engine,
                         [this, i](int, int, const QStringList &) {
                             asked[i] = true;
                             if (this->figures)
                                 ++this->figures->removalQuestions;
                         });
    }
    outsideBefore = outsideManifest();
    cwdBefore = QDir::current().entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

HistoryRunner::~HistoryRunner()
{
    // the fixture removes the folders next; nothing may stay unreadable
    revealAll();
}

QByteArray HistoryRunner::contentBytes(int content, int size)
{
    QByteArray bytes = "content #" + QByteArray::number(content) + "\n";
    if (size <= 0)
        return size == 0 ? QByteArray() : bytes;
    while (bytes.size() < size)
        bytes += QByteArray::number(content * 7919 + bytes.size()) + ' ';
    bytes.truncate(size);
    // keep the number readable and the content unique
    return "#" + QByteArray::number(content) + ":" + bytes;
}

QList<QString> HistoryRunner::faultTable()
{
    QList<QString> table;
    for (const FaultSpec &f : faults)
        table.append(QStringLiteral("%1 %2 %3").arg(QLatin1String(f.method), QLatin1String(f.prefix), QLatin1String(f.action)));
    return table;
}

QStringList HistoryRunner::localFiles(int device) const
{
    QStringList files;
    const QString root = devices.at(device)->folder;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString relative = QDir(root).relativeFilePath(it.next());
        if (!isEngineEntry(relative) && !isHidden(relative))
            files.append(relative);
    }
    files.sort();
    return files;
}

QStringList HistoryRunner::localDirs(int device) const
{
    QStringList dirs;
    const QString root = devices.at(device)->folder;
    QDirIterator it(root, QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString relative = QDir(root).relativeFilePath(it.next());
        if (!isEngineEntry(relative) && !isHidden(relative))
            dirs.append(relative);
    }
    dirs.sort();
    return dirs;
}

HistoryOp HistoryRunner::generateLocal(QRandomGenerator &random, int index, int device)
{
    HistoryOp op;
    op.device = device;
    op.content = index;
    const QStringList files = localFiles(device);
    const QStringList dirs = localDirs(device);
    const auto newPath = [&] { return pick(random, folderPool) + pick(random, namePool); };
    const int roll = int(random.bounded(100));
    op.size = random.bounded(10) == 0 ? 150000 + int(random.bounded(100000)) : int(random.bounded(300));

    const bool hasHidden = std::any_of(hidden.cbegin(), hidden.cend(), [&](const Hidden &entry) { return entry.device == device; });
    const int hideRoll = int(random.bounded(100));
    if (hasHidden && hideRoll < 30) {
        op.kind = HistoryOp::Readable;
        return op;
    }
    if (!displaced(device) && hideRoll >= 96 && !(files.isEmpty() && dirs.isEmpty())) {
        // a folder of another user, a file another program holds open
        op.kind = HistoryOp::Unreadable;
        op.path = dirs.isEmpty() || (!files.isEmpty() && random.bounded(2)) ? pick(random, files) : pick(random, dirs);
        return op;
    }
    const int moveRoll = int(random.bounded(100));
    if (displaced(device) ? moveRoll < 30 : moveRoll < 4) {
        op.kind = HistoryOp::MoveFolder;
        op.path2 = displaced(device) ? QStringLiteral("back") : moveRoll < 2 ? QStringLiteral("away") : QStringLiteral("new");
        return op;
    }
    if (files.isEmpty() || roll < 25) {
        op.kind = HistoryOp::LocalWrite;
        op.path = newPath();
    } else if (roll < 45) {
        op.kind = HistoryOp::LocalWrite;
        op.path = pick(random, files);
    } else if (roll < 53) {
        op.kind = HistoryOp::LocalTouch;
        op.path = pick(random, files);
        op.touchSeconds = qint64(random.bounded(20)) - 10;
        if (op.touchSeconds == 0)
            op.touchSeconds = 3;
    } else if (roll < 65) {
        op.kind = HistoryOp::LocalDelete;
        op.path = pick(random, files);
    } else if (roll < 73) {
        op.kind = HistoryOp::LocalRename;
        op.path = pick(random, files);
        op.path2 = newPath();
    } else if (roll < 80) {
        // a change of letter case only
        op.kind = HistoryOp::LocalRename;
        op.path = pick(random, files);
        const QFileInfo info(op.path);
        const QString dir = info.path() == QLatin1String(".") ? QString() : info.path() + QLatin1Char('/');
        op.path2 = dir + caseFlipped(info.fileName());
    } else if (roll < 85 || dirs.isEmpty()) {
        op.kind = HistoryOp::LocalMkdir;
        op.path = pick(random, folderPool.mid(1)).chopped(1);
    } else if (roll < 91) {
        op.kind = HistoryOp::LocalRemoveDir;
        op.path = pick(random, dirs);
    } else if (roll < 96) {
        op.kind = HistoryOp::LocalRenameDir;
        op.path = pick(random, dirs);
        op.path2 = pick(random, dirTargets);
    } else {
        op.kind = HistoryOp::LocalRenameDir;
        op.path = pick(random, dirs);
        const QFileInfo info(op.path);
        const QString dir = info.path() == QLatin1String(".") ? QString() : info.path() + QLatin1Char('/');
        op.path2 = dir + caseFlipped(info.fileName());
    }
    return op;
}

HistoryOp HistoryRunner::generateServer(QRandomGenerator &random, int index)
{
    HistoryOp op;
    op.content = index;
    op.size = random.bounded(10) == 0 ? 150000 + int(random.bounded(100000)) : int(random.bounded(300));
    QStringList files;
    QStringList nodes;
    for (const QJsonValue &value : fixture.server->list(fixture.email())) {
        const QJsonObject node = value.toObject();
        if (node.value(QLatin1String("trashed")).toBool())
            continue;
        const QString path = node.value(QLatin1String("path")).toString();
        nodes.append(path);
        if (node.value(QLatin1String("type")).toString() != QLatin1String("folder"))
            files.append(path);
    }
    // what the desktops take as it is: a hostile item moved elsewhere stays
    // one, which the convergence check would not know
    QStringList movable;
    for (const QString &path : std::as_const(nodes)) {
        // a folder moved with a hostile item inside moves that item too
        const bool refused = std::any_of(refusedRoots.cbegin(), refusedRoots.cend(), [&](const QString &root) {
            return isAtOrBelow(path, root) || isAtOrBelow(root, path);
        });
        if (!refused && !isHidden(path))
            movable.append(path);
    }
    const int roll = int(random.bounded(100));
    if (random.bounded(100) < 6)
        return generateHostile(random, index);
    if (random.bounded(100) < 6) {
        QStringList edited;
        for (const QJsonValue &value : fixture.server->list(fixture.email())) {
            const QJsonObject node = value.toObject();
            if (!node.value(QLatin1String("trashed")).toBool() && node.value(QLatin1String("version")).toInt() >= 2)
                edited.append(node.value(QLatin1String("path")).toString());
        }
        if (!edited.isEmpty()) {
            op.kind = HistoryOp::ServerRestore;
            op.path = pick(random, edited);
            op.content = 1 + int(random.bounded(2));
            return op;
        }
    }
    if (nodes.isEmpty() || roll < 30) {
        op.kind = HistoryOp::PortalPut;
        op.path = pick(random, folderPool) + pick(random, namePool);
    } else if (roll < 55 && !files.isEmpty()) {
        op.kind = HistoryOp::PortalPut;
        op.path = pick(random, files);
    } else if (roll < 70) {
        op.kind = HistoryOp::PortalDelete;
        op.path = pick(random, nodes);
        op.path2 = pick(random, recordKinds);
    } else if (roll < 80 && !movable.isEmpty()) {
        // a rename, a move into another folder, or another letter case
        op.kind = HistoryOp::PortalMove;
        op.path = pick(random, movable);
        const int how = int(random.bounded(3));
        if (how == 0)
            op.path2 = op.path.toUpper() == op.path ? op.path.toLower() : op.path.toUpper();
        else if (how == 1)
            op.path2 = pick(random, folderPool) + op.path.section(QLatin1Char('/'), -1);
        else
            op.path2 = op.path.section(QLatin1Char('/'), 0, -2, QString::SectionIncludeTrailingSep)
                + pick(random, namePool);
    } else if (!files.isEmpty()) {
        op.kind = HistoryOp::MobileDelete;
        op.path = pick(random, files);
    } else {
        op.kind = HistoryOp::PortalPut;
        op.path = pick(random, folderPool) + pick(random, namePool);
    }
    return op;
}

HistoryOp HistoryRunner::generateHostile(QRandomGenerator &random, int index)
{
    HistoryOp op;
    op.kind = HistoryOp::HostilePut;
    op.content = index;
    op.size = int(random.bounded(300));
    const int spec = int(random.bounded(quint32(hostileCount)));
    op.path = hostilePath(spec, pick(random, namePool));
    op.path2 = QString::fromUtf8(hostileSpecs[spec].rewrite);
    return op;
}

// Short stories that random steps seldom tell in full.
void HistoryRunner::queueScenario(QRandomGenerator &random, int index)
{
    const int device = int(random.bounded(quint32(devices.size())));
    const int other = devices.size() > 1 ? 1 - device : -1;
    const auto make = [&](HistoryOp::Kind kind, int dev, const QString &path, int content = 0) {
        HistoryOp op;
        op.kind = kind;
        op.device = dev;
        op.path = path;
        op.content = content;
        op.size = content ? int(random.bounded(300)) : 0;
        return op;
    };
    const auto pass = [&](int dev) { return make(HistoryOp::Pass, dev, QString()); };
    if (figures)
        ++figures->scenarios;

    if (random.bounded(3) == 0) {
        // many files go at once: from the mobile application, or here
        for (int i = 0; i < 22; ++i)
            pending << make(HistoryOp::LocalWrite, device, QStringLiteral("m/dosya%1.txt").arg(i), index * 1000 + 10 + i);
        pending << pass(device);
        if (other >= 0)
            pending << pass(other);
        if (random.bounded(2) == 0)
            pending << make(HistoryOp::MobileDelete, 0, QStringLiteral("m"));
        else
            pending << make(HistoryOp::LocalRemoveDir, device, QStringLiteral("m"));
        pending << pass(device) << pass(device);
        return;
    }
    if (random.bounded(2) == 0) {
        // the portal deletes a folder, the user makes it again with new files,
        // and another device deletes one of them
        const QString folder = pick(random, QStringList{QStringLiteral("d"), QStringLiteral("f"), QStringLiteral("d/e")});
        const QString first = folder + QLatin1Char('/') + pick(random, namePool);
        QString second = folder + QLatin1Char('/') + pick(random, namePool);
        if (second == first)
            second = folder + QStringLiteral("/yeni.txt");
        HistoryOp portalDelete = make(HistoryOp::PortalDelete, 0, folder);
        portalDelete.path2 = pick(random, recordKinds);
        pending << make(HistoryOp::PortalPut, 0, folder + QLatin1Char('/') + pick(random, namePool), index * 1000 + 2)
                << pass(device) << portalDelete << pass(device) << make(HistoryOp::LocalWrite, device, first, index * 1000 + 3)
                << make(HistoryOp::LocalWrite, device, second, index * 1000 + 4) << pass(device);
        if (other >= 0)
            pending << pass(other) << make(HistoryOp::LocalDelete, other, first) << pass(other);
        else
            pending << make(HistoryOp::MobileDelete, 0, first);
        pending << pass(device) << pass(device);
        return;
    }
    // a file deleted here while this desktop is stopped, another device saves
    // a new version of it, then this desktop starts
    const QStringList files = localFiles(device);
    const QString path = files.isEmpty() ? pick(random, folderPool) + pick(random, namePool) : pick(random, files);
    if (files.isEmpty())
        pending << make(HistoryOp::LocalWrite, device, path, index * 1000 + 2);
    pending << pass(device);
    if (other >= 0)
        pending << pass(other);
    pending << make(HistoryOp::LocalDelete, device, path);
    if (other >= 0)
        pending << make(HistoryOp::LocalWrite, other, path, index * 1000 + 3) << pass(other);
    else
        pending << make(HistoryOp::PortalPut, 0, path, index * 1000 + 3);
    pending << pass(device);
}

HistoryOp HistoryRunner::generate(QRandomGenerator &random, int index)
{
    if (pending.isEmpty() && random.bounded(100) < 5)
        queueScenario(random, index);
    if (!pending.isEmpty())
        return pending.takeFirst();
    const int device = int(random.bounded(quint32(devices.size())));
    if (asked.at(device) && random.bounded(3) == 0) {
        HistoryOp answer;
        answer.kind = HistoryOp::AnswerRemovals;
        answer.device = device;
        answer.content = int(random.bounded(2));
        return answer;
    }
    if (random.bounded(100) < 3) {
        HistoryOp switchOp;
        switchOp.kind = HistoryOp::SwitchAccount;
        switchOp.device = device;
        switchOp.content = deviceAccount.at(device) == 0 ? 1 : 0;
        return switchOp;
    }
    const int roll = int(random.bounded(100));
    if (roll < 42)
        return generateLocal(random, index, int(random.bounded(quint32(devices.size()))));
    if (roll < 60)
        return generateServer(random, index);
    if (roll < 96) {
        HistoryOp op;
        op.kind = HistoryOp::Pass;
        op.device = int(random.bounded(quint32(devices.size())));
        if (killedPasses && random.bounded(2) == 0) {
            op.kind = HistoryOp::KilledPass;
            op.content = int(random.bounded(500));
            return op;
        }
        if (random.bounded(100) < 25) {
            op.fault = int(random.bounded(faultCount));
            op.faultCount = 1 + int(random.bounded(3));
        }
        const int stopRoll = int(random.bounded(100));
        if (stopRoll < 8)
            op.stopAfterReplies = 1 + int(random.bounded(6));
        else if (stopRoll < 15)
            op.stopOnProgress = true;
        if (random.bounded(100) < 20) {
            op.midAfterReplies = 1 + int(random.bounded(5));
            // mostly a save the user makes while the pass runs, to a file the pass may touch
            const QStringList files = localFiles(op.device);
            HistoryOp nested;
            const int nestedRoll = int(random.bounded(100));
            if (nestedRoll < 50 && !files.isEmpty()) {
                nested.kind = HistoryOp::LocalWrite;
                nested.device = op.device;
                nested.path = pick(random, files);
                nested.content = index * 1000 + 1;
                nested.size = int(random.bounded(300));
            } else if (nestedRoll < 65 && devices.size() > 1) {
                // the other desktop runs its own pass meanwhile
                nested.kind = HistoryOp::Pass;
                nested.device = 1 - op.device;
            } else if (nestedRoll < 72) {
                nested = generateLocal(random, index * 1000 + 1, op.device);
            } else if (nestedRoll < 78) {
                // the user starts the program a second time
                nested.kind = HistoryOp::SecondEngine;
                nested.device = op.device;
            } else if (nestedRoll < 85) {
                // the sync folder goes while the pass works in it
                nested.kind = HistoryOp::MoveFolder;
                nested.device = op.device;
                nested.path2 = displaced(op.device) ? QStringLiteral("back")
                                                    : random.bounded(2) ? QStringLiteral("away") : QStringLiteral("new");
            } else {
                nested = generateServer(random, index * 1000 + 1);
            }
            op.nested.append(nested);
            // half of the time the step follows the engine's own progress
            // through its log instead of the traffic
            if (random.bounded(2) == 0) {
                op.midOnLog = 1 + int(random.bounded(6));
                op.midAfterReplies = 0;
            }
        }
        return op;
    }
    HistoryOp op;
    op.kind = HistoryOp::Settle;
    return op;
}

bool HistoryRunner::runRandom(quint64 seed, int steps)
{
    // the fixture removes the folders after a failure
    const auto readable = qScopeGuard([this] { revealAll(); });
    QRandomGenerator random(seed);
    for (int i = 0; i < steps; ++i) {
        const HistoryOp op = generate(random, i + 1);
        ops.append(op);
        if (!apply(op))
            return false;
    }
    HistoryOp last;
    last.kind = HistoryOp::Settle;
    ops.append(last);
    return apply(last);
}

bool HistoryRunner::replay(const QList<HistoryOp> &list)
{
    const auto readable = qScopeGuard([this] { revealAll(); });
    for (const HistoryOp &op : list) {
        ops.append(op);
        if (!apply(op))
            return false;
    }
    return true;
}

bool HistoryRunner::apply(const HistoryOp &op)
{
    if (figures)
        ++figures->operations;
    if (op.kind == HistoryOp::Pass)
        return runPass(op);
    if (op.kind == HistoryOp::Settle)
        return settle();
    if (op.kind == HistoryOp::KilledPass)
        return runKilledPass(op);
    return applyUserStep(op);
}

bool HistoryRunner::applyUserStep(const HistoryOp &op)
{
    if (op.kind == HistoryOp::PortalPut) {
        const QByteArray bytes = contentBytes(op.content, op.size);
        if (fixture.server->putFile(fixture.email(), op.path, bytes))
            tracked.insert(hashOf(bytes), QStringLiteral("portal put ") + op.path);
        return true;
    }
    if (op.kind == HistoryOp::PortalDelete) {
        fixture.server->portalDelete(fixture.email(), op.path, op.path2);
        return true;
    }
    if (op.kind == HistoryOp::MobileDelete) {
        fixture.server->mobileDelete(fixture.email(), op.path);
        return true;
    }
    if (op.kind == HistoryOp::PortalMove) {
        // refused where the new path is taken, as the portal refuses it
        fixture.server->move(fixture.email(), op.path, op.path2);
        return true;
    }
    if (op.kind == HistoryOp::HostilePut) {
        putHostile(op);
        return true;
    }
    if (op.kind == HistoryOp::ServerRestore) {
        restoreServer(op);
        return true;
    }
    if (op.device >= devices.size())
        return true;
    if (op.kind == HistoryOp::MoveFolder || op.kind == HistoryOp::Readable) {
        // what the user made unreadable there becomes readable again first
        const bool wasReadable = hiddenReadable;
        setHiddenReadable(true);
        hidden.removeIf([&](const Hidden &entry) { return entry.device == op.device; });
        setHiddenReadable(wasReadable);
        if (op.kind == HistoryOp::MoveFolder)
            moveFolder(op);
        return true;
    }
    if (op.kind == HistoryOp::Unreadable) {
        makeUnreadable(op);
        return true;
    }
    if (op.kind == HistoryOp::SwitchAccount) {
        switchAccount(op);
        return true;
    }
    if (op.kind == HistoryOp::SecondEngine) {
        runSecondEngine(op);
        return !failure.found;
    }
    if (op.kind == HistoryOp::AnswerRemovals) {
        if (asked.at(op.device)) {
            devices.at(op.device)->engine.answerRemovals(SyncEngine::LocalRemoval, op.content != 0);
            devices.at(op.device)->engine.answerRemovals(SyncEngine::ServerDeletion, op.content != 0);
            asked[op.device] = false;
            approvedRemovals[op.device] = op.content != 0;
        }
        return true;
    }
    // While the folder is away, what the engine sends to the server trash can
    // only come from where the folder went: the user deletes nothing meanwhile.
    const bool destructive = op.kind == HistoryOp::LocalDelete || op.kind == HistoryOp::LocalRename
        || op.kind == HistoryOp::LocalRemoveDir || op.kind == HistoryOp::LocalRenameDir;
    if (destructive && displaced(op.device))
        return true;

    const QDir root(devices.at(op.device)->folder);
    // nothing is written into a sync folder that is not there: bringing it
    // back is a step of its own, which the checks know as the user's
    if (!root.exists())
        return true;
    const QString target = root.filePath(op.path);
    const QFileInfo info(target);
    // what is unreadable stays as it is until the user makes it readable again
    for (const Hidden &entry : std::as_const(hidden)) {
        for (const QString &touched : {target, op.path2.isEmpty() ? QString() : root.filePath(op.path2)}) {
            if (!touched.isEmpty() && (isAtOrBelow(touched, entry.path) || isAtOrBelow(entry.path, touched)))
                return true;
        }
    }
    // contents this step destroys; the user's own doing, unless a copy is left
    QList<QByteArray> destroyed;

    switch (op.kind) {
    case HistoryOp::LocalWrite: {
        if (info.isDir())
            return true;
        if (!QDir().mkpath(info.absolutePath()))
            return true;
        if (info.isFile())
            destroyed.append(hashOfFile(target));
        const QByteArray bytes = contentBytes(op.content, op.size);
        QFile file(target);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return true;
        file.write(bytes);
        file.close();
        tracked.insert(hashOf(bytes), QStringLiteral("written by the user as ") + op.path);
        break;
    }
    case HistoryOp::LocalTouch: {
        if (!info.isFile())
            return true;
        QFile file(target);
        if (file.open(QIODevice::ReadWrite))
            file.setFileTime(info.lastModified().addSecs(op.touchSeconds), QFileDevice::FileModificationTime);
        break;
    }
    case HistoryOp::LocalDelete:
        if (!info.isFile())
            return true;
        destroyed.append(hashOfFile(target));
        QFile::remove(target);
        break;
    case HistoryOp::LocalRename: {
        const QString to = root.filePath(op.path2);
        if (!info.isFile() || QFileInfo::exists(to) || QFileInfo(to).isSymLink())
            return true;
        if (!QDir().mkpath(QFileInfo(to).absolutePath()))
            return true;
        QFile::rename(target, to);
        break;
    }
    case HistoryOp::LocalMkdir:
        if (!info.exists())
            QDir().mkpath(target);
        break;
    case HistoryOp::LocalRemoveDir: {
        if (!info.isDir())
            return true;
        QDirIterator it(target, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext())
            destroyed.append(hashOfFile(it.next()));
        QDir(target).removeRecursively();
        break;
    }
    case HistoryOp::LocalRenameDir: {
        const QString to = root.filePath(op.path2);
        if (!info.isDir() || QFileInfo::exists(to) || to.startsWith(target + QLatin1Char('/')))
            return true;
        if (!QDir().mkpath(QFileInfo(to).absolutePath()))
            return true;
        QDir().rename(target, to);
        break;
    }
    default:
        break;
    }

    if (!destroyed.isEmpty()) {
        const QSet<QByteArray> available = availableContents();
        for (const QByteArray &hash : std::as_const(destroyed)) {
            if (!available.contains(hash))
                tracked.remove(hash);
        }
    }
    return true;
}

void HistoryRunner::moveFolder(const HistoryOp &op)
{
    Displacement &moved = displacements[op.device];
    const QString place = devices.at(op.device)->folder;
    const QString awayRoot = fixture.work->filePath(QStringLiteral("away"));
    QDir().mkpath(awayRoot);
    const auto asideName = [&](const char *what) {
        return QDir(awayRoot).filePath(QStringLiteral("dev%1-%2-%3").arg(op.device).arg(++moveCounter).arg(QLatin1String(what)));
    };
    if (op.path2 == QLatin1String("back")) {
        if (moved.aside.isEmpty())
            return;
        // whatever took the folder's place goes aside, with what the user put in it
        if (QFileInfo::exists(place)) {
            const QString replacement = asideName("yerine");
            if (!QDir().rename(place, replacement))
                return;
            asideFolders << replacement;
        }
        if (!QDir().rename(moved.aside, place))
            return;
        // the folder is there again by the user's hand, not the engine's
        ++moveCounter;
        asideFolders.removeAll(moved.aside);
        moved = Displacement();
        return;
    }
    if (!moved.aside.isEmpty()) {
        if (op.path2 == QLatin1String("new") && !QFileInfo::exists(place) && QDir().mkpath(place))
            ++moveCounter;
        return;
    }
    const QStringList had = localFiles(op.device);
    const QString aside = asideName("eski");
    if (!QDir().rename(place, aside))
        return;
    moved.aside = aside;
    moved.hadPaths = QSet<QString>(had.cbegin(), had.cend());
    asideFolders << aside;
    if (figures)
        ++figures->folderMoves;
    if (op.path2 == QLatin1String("new"))
        QDir().mkpath(place);
}

void HistoryRunner::putHostile(const HistoryOp &op)
{
    const QByteArray bytes = contentBytes(op.content, op.size);
    QJsonObject item;
    if (!fixture.server->putFile(fixture.email(), op.path, bytes, &item))
        return;
    tracked.insert(hashOf(bytes), QStringLiteral("hostile put ") + op.path.left(60));
    if (figures)
        ++figures->hostileItems;
    const qint64 id = qint64(item.value(QLatin1String("id")).toDouble());
    const QString folder = op.path.section(QLatin1Char('/'), 0, -2);
    if (op.path2.startsWith(QLatin1String("name:"))) {
        const QString name = op.path2.mid(5);
        if (rewriteStore(fixture.server->dataDir(), "UPDATE nodes SET name = ?2 WHERE id = ?1", {id, name}))
            refusedRoots << folder + QLatin1Char('/') + name;
        return;
    }
    if (op.path2 == QLatin1String("noid")) {
        const qint64 parent = qint64(item.value(QLatin1String("parent_id")).toDouble());
        if (parent > 0
            && rewriteStore(fixture.server->dataDir(),
                            "UPDATE nodes SET id = -?1 WHERE id = ?1; UPDATE nodes SET parent_id = -?1 WHERE parent_id = ?1",
                            {parent}))
            refusedRoots << folder;
        return;
    }
    // below one of the engine's own entries, or too deep for a desktop
    const QString top = op.path.section(QLatin1Char('/'), 0, 0);
    refusedRoots << (top.startsWith(QLatin1String(".kumat-")) || op.path.count(QLatin1Char('/')) > 20 ? top : op.path);
}

bool HistoryRunner::refused(const QString &serverPath) const
{
    if (isReservedPath(serverPath))
        return true;
    return std::any_of(refusedRoots.cbegin(), refusedRoots.cend(),
                       [&](const QString &root) { return isAtOrBelow(serverPath, root); });
}

void HistoryRunner::trackLocalContents()
{
    for (int i = 0; i < devices.size(); ++i) {
        for (const QString &relative : localFiles(i)) {
            bool ok = false;
            const QByteArray hash = hashOfFile(devices.at(i)->path(relative), &ok);
            if (ok && !tracked.contains(hash))
                tracked.insert(hash, QStringLiteral("dev%1 %2 before step %3").arg(i).arg(relative).arg(ops.size()));
        }
    }
}

bool HistoryRunner::runPass(const HistoryOp &op)
{
    if (op.device >= devices.size())
        return true;
    Device *device = devices.at(op.device);
    if (figures)
        ++figures->passes;
    if (op.fault >= 0) {
        const FaultSpec &f = faults[op.fault];
        fixture.server->addFault(QLatin1String(f.method), QLatin1String(f.prefix), QLatin1String(f.action),
                                 f.status ? f.status : 503, op.faultCount);
        if (figures)
            ++figures->faults;
    }
    trackLocalContents();
    const QByteArray stateBefore = device->stateFileBytes();
    const bool stateExistedBefore = QFileInfo::exists(device->path(stateFileName));
    const bool folderExistedBefore = QFileInfo::exists(device->folder);
    const QString email = accountEmail(deviceAccount.at(op.device));
    if (!boundKeys.contains(email))
        boundKeys.insert(email, accountKey(email));
    // records made for another account: this pass has to pair the folder anew
    const QString boundBefore = QJsonDocument::fromJson(stateBefore)
                                    .object()
                                    .value(QString())
                                    .toObject()
                                    .value(QLatin1String("account"))
                                    .toString();
    const bool pairingAnew = !boundBefore.isEmpty() && boundBefore != boundKeys.value(email);
    const QMap<QString, QByteArray> folderBefore = pairingAnew ? folderHashes(op.device, true) : QMap<QString, QByteArray>();
    const QJsonArray listBefore = pairingAnew ? fixture.server->list(email) : QJsonArray();
    // what the pass cannot see, and the server's versions of it
    const QMap<QString, QByteArray> hiddenBefore = hiddenContents(op.device);
    QMap<QString, qint64> hiddenVersionsBefore;
    if (!hiddenBefore.isEmpty()) {
        for (const QJsonValue &value : fixture.server->list(email)) {
            const QJsonObject node = value.toObject();
            hiddenVersionsBefore.insert(node.value(QLatin1String("path")).toString(),
                                        qint64(node.value(QLatin1String("version")).toDouble()));
        }
    }
    const QMap<QString, QByteArray> localBefore = restoredAway.isEmpty() ? QMap<QString, QByteArray>() : folderHashes(op.device, false);
    const auto trashedHere = [&] {
        return QDir(QDir(fixture.dataHome()).filePath(QStringLiteral("Trash/files"))).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size();
    };
    const int trashedHereBefore = int(trashedHere());
    // A pass in a folder other than the one its records came from (the user
    // brought the old folder back) reads the records from that folder's own
    // state file: either may be what the pass works from.
    const QList<QJsonObject> recordedBefore{SyncEngineTestAccess::state(device->engine), device->savedState()};
    const QMap<QString, QByteArray> archivedBefore = archivedFiles(op.device);
    const int movesBefore = moveCounter;
    QList<ServerCall> trashes;
    QList<qint64> downloads;
    // the version of each node as the pass's snapshot listed it
    QHash<qint64, qint64> versionsAtSnapshot;

    QNetworkAccessManager &network = ApiClientTestAccess::network(device->api);
    int finishedReplies = 0;
    bool stopped = false;
    bool nestedDone = false;
    QSet<QNetworkReply *> aliveAtStop;
    QStringList callsAfterStop;
    const auto stopNow = [&] {
        if (stopped)
            return;
        stopped = true;
        const QList<QNetworkReply *> alive = network.findChildren<QNetworkReply *>();
        aliveAtStop = QSet<QNetworkReply *>(alive.cbegin(), alive.cend());
        if (figures)
            ++figures->stops;
        device->engine.stop();
    };
    QList<QMetaObject::Connection> connections;
    const auto runNested = [&] {
        nestedDone = true;
        for (const HistoryOp &nested : op.nested) {
            if (figures)
                ++figures->nestedSteps;
            if (nested.kind == HistoryOp::Pass)
                runPass(nested);
            else
                applyUserStep(nested);
        }
    };
    // after the server refused the sign-in, nothing but what was already on its way
    bool refusedSignIn = false;
    QSet<QNetworkReply *> aliveAtRefusal;
    QStringList callsAfterRefusal;
    int signInNeeded = 0;
    connections << QObject::connect(&device->engine, &SyncEngine::signInNeeded, [&] { ++signInNeeded; });
    connections << QObject::connect(&network, &QNetworkAccessManager::finished, [&](QNetworkReply *reply) {
        ++finishedReplies;
        if (stopped && !aliveAtStop.contains(reply))
            callsAfterStop << QString::number(int(reply->operation())) + QStringLiteral(" ") + reply->url().path();
        // what the server did, whether or not the client heard the whole answer
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (refusedSignIn && !aliveAtRefusal.contains(reply))
            callsAfterRefusal << QString::fromLatin1(verbOf(reply)) + QLatin1Char(' ') + reply->url().path();
        if (status == 401 && !refusedSignIn) {
            refusedSignIn = true;
            const QList<QNetworkReply *> alive = network.findChildren<QNetworkReply *>();
            aliveAtRefusal = QSet<QNetworkReply *>(alive.cbegin(), alive.cend());
            if (figures)
                ++figures->signInsRefused;
        }
        const QStringList parts = reply->url().path().split(QLatin1Char('/'), Qt::SkipEmptyParts);
        if (status >= 200 && status < 300 && parts.size() >= 4) {
            const QByteArray verb = verbOf(reply);
            if (verb == "DELETE" && parts.at(2) == QLatin1String("nodes"))
                trashes.append({parts.at(3).toLongLong(), displaced(op.device)});
            else if (verb == "GET" && parts.at(2) == QLatin1String("files"))
                downloads.append(parts.at(3).toLongLong());
        }
        if (status >= 200 && status < 300 && reply->url().path().endsWith(QLatin1String("/sync/snapshot"))) {
            for (const QJsonValue &value : fixture.server->list(accountEmail(deviceAccount.value(op.device)))) {
                const QJsonObject node = value.toObject();
                versionsAtSnapshot.insert(qint64(node.value(QLatin1String("id")).toDouble()),
                                          qint64(node.value(QLatin1String("version")).toDouble()));
            }
        }
        if (op.stopAfterReplies > 0 && finishedReplies == op.stopAfterReplies)
            stopNow();
        if (!nestedDone && op.midOnLog == 0 && op.midAfterReplies > 0 && finishedReplies == op.midAfterReplies)
            runNested();
    });
    if (op.midOnLog > 0) {
        int lines = 0;
        connections << QObject::connect(&device->engine, &SyncEngine::log, [&, lines](const QString &) mutable {
            if (!nestedDone && ++lines == op.midOnLog)
                runNested();
        });
    }
    if (op.stopOnProgress) {
        connections << QObject::connect(&device->api, &ApiClient::uploadProgress, [&](qint64, qint64) { stopNow(); });
        connections << QObject::connect(&device->api, &ApiClient::downloadProgress, [&](qint64, qint64) { stopNow(); });
    }
    // Requests that the engine starts after it was stopped, seen by the manager
    const auto disconnectAll = qScopeGuard([&] {
        for (const QMetaObject::Connection &c : std::as_const(connections))
            QObject::disconnect(c);
    });

    device->logs.clear();
    device->notices.clear();
    device->engine.start();
    device->engine.stop();
    // a reply finished behind the pass's back would show up here
    QCoreApplication::processEvents();

    if (op.fault >= 0)
        fixture.server->clearFaults();

    // a pass of the other device, run while this one waited, broke something
    if (failure.found)
        return false;
    const QString where = QStringLiteral("after step %1 (%2)").arg(ops.size()).arg(op.describe());
    if (!callsAfterStop.isEmpty()) {
        fail(QStringLiteral("the stopped engine still called the server %1: %2").arg(where, callsAfterStop.join(", ")));
        return false;
    }
    // an expired sign-in ends the pass and is told once; the engine never spins on it
    if (refusedSignIn && op.nested.isEmpty() && (!callsAfterRefusal.isEmpty() || signInNeeded != 1)) {
        fail(QStringLiteral("after the server refused the sign-in %1 the engine asked for it %2 time(s) and went on with: %3")
                 .arg(where)
                 .arg(signInNeeded)
                 .arg(callsAfterRefusal.join(", ")));
        return false;
    }

    // the state file: the last completed pass, never half of one (unless the
    // folder holding it went away meanwhile)
    // one engine per folder: nothing but a killed helper's lock can be
    // there, and that one must not keep the folder taken
    for (const QString &line : std::as_const(device->logs)) {
        if (line.startsWith(QStringLiteral("Bu klasörü başka bir Kumat Senkronizasyon kopyası senkronize ediyor"))) {
            fail(QStringLiteral("the engine took the folder for another copy's %1").arg(where));
            return false;
        }
    }
    const bool completed = device->logs.contains(completedLine);
    const QByteArray stateAfter = device->stateFileBytes();
    const bool folderStayed = moveCounter == movesBefore;
    // a folder synchronised before is awaited, never made again
    if (completedOnce.at(op.device) && !folderExistedBefore && folderStayed && QFileInfo::exists(device->folder)) {
        fail(QStringLiteral("the engine made the missing sync folder again %1").arg(where));
        return false;
    }
    if (completed) {
        completedOnce[op.device] = true;
        device->engine.setMayCreateFolder(false);
    }
    if (completed && folderStayed) {
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(stateAfter, &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject()) {
            fail(QStringLiteral("state file is not a JSON object %1: %2").arg(where, error.errorString()));
            return false;
        }
        // the records, and under the empty key the account they belong to
        QJsonObject records = doc.object();
        const QJsonObject binding = records.take(QString()).toObject();
        if (records != SyncEngineTestAccess::state(device->engine)) {
            fail(QStringLiteral("state file differs from the state of the completed pass %1").arg(where));
            return false;
        }
        if (binding.value(QLatin1String("account")).toString().isEmpty()
            || binding.value(QLatin1String("server")).toString() != device->api.baseUrl()) {
            fail(QStringLiteral("state file does not name the account of the completed pass %1").arg(where));
            return false;
        }
    } else if (folderStayed
               && (stateAfter != stateBefore || QFileInfo::exists(device->path(stateFileName)) != stateExistedBefore)) {
        fail(QStringLiteral("a pass that did not complete changed the state file %1").arg(where));
        return false;
    }

    const bool undisturbed = folderStayed && op.nested.isEmpty();
    // files this pass sent to the desktop trash (portal deletions go to the
    // archive inside the folder, which removes nothing)
    const int removedHere = int(trashedHere()) - trashedHereBefore;
    const int recordsBefore = int(qMax(recordedBefore.first().size(), recordedBefore.last().size()));
    const bool removalsApproved = approvedRemovals.at(op.device);
    if (completed)
        approvedRemovals[op.device] = false;
    if (!checkContentKept(where) || !checkOutsideUntouched(where)
        || !checkServerCalls(op.device, recordedBefore, trashes, downloads,
                             folderStayed ? archivedBefore : archivedFiles(op.device), versionsAtSnapshot, where)
        || (undisturbed && !checkHiddenUntouched(op.device, hiddenBefore, hiddenVersionsBefore, trashes, where))
        || (pairingAnew && !checkPairedAnew(op.device, undisturbed ? folderBefore : QMap<QString, QByteArray>(), listBefore, trashes, where))
        || (undisturbed && !checkNoOlderVersionWithoutCopy(op.device, localBefore, where))
        || (undisturbed && !removalsApproved && !checkRemovalGuard(op.device, recordsBefore, int(trashes.size()), removedHere, where))) {
        failure.text += QStringLiteral("\n    engine log of that pass: ") + device->logs.join(QStringLiteral(" | "));
        return false;
    }
    return true;
}

QMap<QString, QByteArray> HistoryRunner::archivedFiles(int device) const
{
    QMap<QString, QByteArray> files;
    const QString root = devices.at(device)->path(QStringLiteral(".kumat-portal-silinenler"));
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(QDir(root).relativeFilePath(path), hashOfFile(path));
    }
    return files;
}

// Checks what the server did at this device's request during one pass
// (checkContentKept has just listed the server).
bool HistoryRunner::checkServerCalls(int device, const QList<QJsonObject> &statesBefore, const QList<ServerCall> &trashes,
                                     const QList<qint64> &downloads, const QMap<QString, QByteArray> &archivedBefore,
                                     const QHash<qint64, qint64> &versionsAtSnapshot,
                                     const QString &when)
{
    QHash<qint64, QJsonObject> byId;
    QHash<QString, QJsonObject> liveByPath;
    for (const QJsonValue &value : serverListOf(device)) {
        const QJsonObject node = value.toObject();
        byId.insert(qint64(node.value(QLatin1String("id")).toDouble()), node);
        if (!node.value(QLatin1String("trashed")).toBool())
            liveByPath.insert(node.value(QLatin1String("path")).toString(), node);
    }
    QHash<qint64, QJsonObject> recordById;
    for (const QJsonObject &stateBefore : statesBefore) {
        for (auto it = stateBefore.constBegin(); it != stateBefore.constEnd(); ++it) {
            const QJsonObject record = it.value().toObject();
            const qint64 id = record.value(QLatin1String("remote_id")).toInteger();
            if (!recordById.contains(id))
                recordById.insert(id, record);
        }
    }

    for (const ServerCall &trash : trashes) {
        const QJsonObject node = byId.value(trash.id);
        const QString path = node.value(QLatin1String("path")).toString();
        if (trash.folderAway && displacements.at(device).hadPaths.contains(path)) {
            fail(QStringLiteral("the server trashed %1, which the user had in the sync folder when it went away, %2")
                     .arg(path, when));
            return false;
        }
        // only the version this device recorded may go to the trash
        const auto record = recordById.constFind(trash.id);
        if (record == recordById.cend() || node.value(QLatin1String("type")).toString() == QLatin1String("folder")) {
            fail(QStringLiteral("the engine trashed node %1 (%2), which this device never recorded as a file, %3")
                     .arg(trash.id)
                     .arg(path, when));
            return false;
        }
        const qint64 recorded = record->value(QLatin1String("remote_version")).toInteger();
        const qint64 trashed = qint64(node.value(QLatin1String("version")).toDouble());
        // A version stored there after the pass's snapshot (by the portal, a
        // restore or another desktop) cannot be told from the recorded one:
        // the deletion names a node, not a version, and the server offers no
        // deletion on a condition. Its trash keeps that one.
        if (trashed != recorded && versionsAtSnapshot.value(trash.id, -1) != recorded) {
            fail(QStringLiteral("the engine trashed version %1 of %2, this device recorded version %3, %4")
                     .arg(trashed)
                     .arg(path)
                     .arg(recorded)
                     .arg(when));
            return false;
        }
    }

    for (const qint64 id : downloads) {
        const QString path = byId.value(id).value(QLatin1String("path")).toString();
        if (isReservedPath(path)) {
            fail(QStringLiteral("the engine downloaded %1, a server path it must refuse, %2").arg(path.left(200), when));
            return false;
        }
    }
    for (auto it = liveByPath.cbegin(); it != liveByPath.cend(); ++it) {
        if (!isReservedPath(it.key()))
            continue;
        for (const QJsonValue &version : it.value().value(QLatin1String("versions")).toArray()) {
            if (version.toObject().value(QLatin1String("device")).toString() != QLatin1String("admin")) {
                fail(QStringLiteral("a desktop uploaded into %1, a server path it must refuse, %2").arg(it.key().left(200), when));
                return false;
            }
        }
    }

    // the portal-deletion archive takes only what the server no longer lists
    const QMap<QString, QByteArray> archived = archivedFiles(device);
    for (auto it = archived.cbegin(); it != archived.cend(); ++it) {
        if (archivedBefore.contains(it.key()))
            continue;
        const QString original = it.key().section(QLatin1Char('/'), 1);
        const auto live = liveByPath.constFind(original);
        if (live != liveByPath.cend()
            && live->value(QLatin1String("sha256")).toString().toLower().toLatin1() == it.value()) {
            fail(QStringLiteral("the engine archived %1 as deleted on the portal, while the server still lists it with "
                                "that content, %2")
                     .arg(original, when));
            return false;
        }
    }
    return true;
}

// Nothing at or below what the pass could not read was removed, replaced,
// deleted on the server or uploaded from this device.
bool HistoryRunner::checkHiddenUntouched(int device, const QMap<QString, QByteArray> &before,
                                         const QMap<QString, qint64> &versionsBefore, const QList<ServerCall> &trashes,
                                         const QString &when)
{
    if (before.isEmpty())
        return true;
    const QMap<QString, QByteArray> after = hiddenContents(device);
    for (auto it = before.cbegin(); it != before.cend(); ++it) {
        if (after.value(it.key()) != it.value()) {
            fail(QStringLiteral("the engine changed or removed %1, which it could not read, %2")
                     .arg(QDir(devices.at(device)->folder).relativeFilePath(it.key()), when));
            return false;
        }
    }
    QStringList unseen;
    for (const Hidden &entry : std::as_const(hidden)) {
        if (entry.device == device)
            unseen << QDir(devices.at(device)->folder).relativeFilePath(entry.path);
    }
    const auto isUnseen = [&](const QString &path) {
        return std::any_of(unseen.cbegin(), unseen.cend(), [&](const QString &root) { return isAtOrBelow(path, root); });
    };
    QHash<qint64, QString> pathById;
    for (const QJsonValue &value : serverListOf(device)) {
        const QJsonObject node = value.toObject();
        const QString path = node.value(QLatin1String("path")).toString();
        pathById.insert(qint64(node.value(QLatin1String("id")).toDouble()), path);
        if (!isUnseen(path) || node.value(QLatin1String("trashed")).toBool())
            continue;
        const qint64 was = versionsBefore.value(path, -1);
        for (const QJsonValue &version : node.value(QLatin1String("versions")).toArray()) {
            const QJsonObject v = version.toObject();
            if (was >= 0 && qint64(v.value(QLatin1String("version")).toDouble()) > was
                && v.value(QLatin1String("device")).toString() != QLatin1String("admin")) {
                fail(QStringLiteral("the engine uploaded %1, which it could not read, %2").arg(path, when));
                return false;
            }
        }
    }
    for (const ServerCall &trash : trashes) {
        if (isUnseen(pathById.value(trash.id))) {
            fail(QStringLiteral("the engine deleted %1 on the server, which it could not see, %2").arg(pathById.value(trash.id), when));
            return false;
        }
    }
    return true;
}

// A folder paired with another account keeps everything it had, and the
// account's own files keep their versions: nothing crosses between accounts.
bool HistoryRunner::checkPairedAnew(int device, const QMap<QString, QByteArray> &folderBefore, const QJsonArray &listBefore,
                                    const QList<ServerCall> &trashes, const QString &when)
{
    if (!trashes.isEmpty()) {
        fail(QStringLiteral("the engine deleted %1 node(s) on the server while it paired the folder with another account %2")
                 .arg(trashes.size())
                 .arg(when));
        return false;
    }
    if (folderBefore.isEmpty())
        return true;
    const QMap<QString, QByteArray> after = folderHashes(device, true);
    const QSet<QByteArray> kept(after.cbegin(), after.cend());
    for (auto it = folderBefore.cbegin(); it != folderBefore.cend(); ++it) {
        if (!kept.contains(it.value())) {
            fail(QStringLiteral("pairing the folder with another account lost %1 from it %2").arg(it.key(), when));
            return false;
        }
    }
    QHash<qint64, qint64> versionBefore;
    for (const QJsonValue &value : listBefore) {
        const QJsonObject node = value.toObject();
        versionBefore.insert(qint64(node.value(QLatin1String("id")).toDouble()), qint64(node.value(QLatin1String("version")).toDouble()));
    }
    for (const QJsonValue &value : serverListOf(device)) {
        const QJsonObject node = value.toObject();
        const qint64 id = qint64(node.value(QLatin1String("id")).toDouble());
        if (versionBefore.contains(id) && qint64(node.value(QLatin1String("version")).toDouble()) > versionBefore.value(id)) {
            fail(QStringLiteral("pairing the folder with another account put a new version over %1 %2")
                     .arg(node.value(QLatin1String("path")).toString(), when));
            return false;
        }
    }
    return true;
}

// A local file the server's restored backup no longer knows is replaced by
// the older version only while a copy of it is kept.
bool HistoryRunner::checkNoOlderVersionWithoutCopy(int device, const QMap<QString, QByteArray> &localBefore, const QString &when)
{
    if (localBefore.isEmpty())
        return true;
    QSet<QByteArray> away;
    for (const QSet<QByteArray> &contents : std::as_const(restoredAway))
        away.unite(contents);
    away.subtract(reissuedContents());
    const QMap<QString, QByteArray> after = folderHashes(device, true);
    const QSet<QByteArray> keptHere(after.cbegin(), after.cend());
    QSet<QByteArray> onServer;
    for (const QJsonValue &value : serverListOf(device)) {
        for (const QJsonValue &version : value.toObject().value(QLatin1String("versions")).toArray())
            onServer.insert(version.toObject().value(QLatin1String("sha256")).toString().toLower().toLatin1());
    }
    for (auto it = localBefore.cbegin(); it != localBefore.cend(); ++it) {
        // gone is not replaced: the removals have checks of their own
        if (!away.contains(it.value()) || !after.contains(it.key()) || after.value(it.key()) == it.value())
            continue;
        if (!keptHere.contains(it.value()) && !onServer.contains(it.value())) {
            fail(QStringLiteral("the engine replaced %1 with an older server version and kept no copy %2").arg(it.key(), when));
            return false;
        }
    }
    return true;
}

// No pass removes more than the guard lets through without asking.
bool HistoryRunner::checkRemovalGuard(int device, int records, int trashed, int removedHere, const QString &when)
{
    const auto tooMany = [&](int count) { return count >= SyncEngine::removalGuardMinimum && qint64(count) * 4 > records; };
    if (tooMany(trashed) || tooMany(removedHere)) {
        fail(QStringLiteral("dev%1 removed %2 file(s) here and deleted %3 on the server of %4 recorded without asking %5")
                 .arg(device)
                 .arg(removedHere)
                 .arg(trashed)
                 .arg(records)
                 .arg(when));
        return false;
    }
    return true;
}

bool HistoryRunner::runKilledPass(const HistoryOp &op)
{
    if (op.device >= devices.size())
        return true;
    Device *device = devices.at(op.device);
    trackLocalContents();
    QProcess helper;
    helper.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    helper.start(QStringLiteral(KUMAT_PASS_HELPER_BIN),
                 {fixture.server->baseUrl(), fixture.email(), fixture.password(), device->folder,
                  TestTls::caCertificatePath()});
    const QString where = QStringLiteral("after step %1 (%2)").arg(ops.size()).arg(op.describe());
    if (!helper.waitForStarted() || !helper.waitForReadyRead(30000)) {
        helper.kill();
        helper.waitForFinished();
        fail(QStringLiteral("the pass helper did not start %1").arg(where));
        return false;
    }
    // passes run back to back; the kill lands wherever the clock says
    if (helper.waitForFinished(op.content)) {
        fail(QStringLiteral("the pass helper ended by itself %1").arg(where));
        return false;
    }
    helper.kill(); // SIGKILL
    helper.waitForFinished();
    if (figures)
        ++figures->kills;

    // what a killed transfer leaves must be something the scan leaves alone
    QDirIterator stray(device->folder, QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (stray.hasNext()) {
        const QString relative = QDir(device->folder).relativeFilePath(stray.next());
        if (relative.contains(QLatin1String(".kumat-part.")) && !isHidden(relative)) {
            fail(QStringLiteral("a killed pass left a partial file that the scan takes for the user's %1: %2").arg(where, relative));
            return false;
        }
    }

    const QString stateFile = device->path(stateFileName);
    if (QFileInfo::exists(stateFile)) {
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(device->stateFileBytes(), &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject()) {
            fail(QStringLiteral("state file is not a JSON object %1: %2").arg(where, error.errorString()));
            return false;
        }
    }
    return checkContentKept(where) && checkOutsideUntouched(where);
}

QString HistoryRunner::accountEmail(int account) const
{
    return account == 0 ? fixture.email() : QStringLiteral("ikinci-") + fixture.email();
}

QJsonArray HistoryRunner::serverListOf(int device) const
{
    return serverLists.value(accountEmail(deviceAccount.value(device)));
}

// The account key that the records of a completed pass are bound to, as the
// server's `me` names the account.
QString HistoryRunner::accountKey(const QString &email) const
{
    const QString id = readStore(fixture.server->dataDir(), "SELECT id FROM users WHERE email = ?1", {email});
    return id.isEmpty() ? QString() : QStringLiteral("id:") + id;
}

void HistoryRunner::switchAccount(const HistoryOp &op)
{
    const int account = op.content == 0 ? 0 : 1;
    if (account == 1 && !secondAccount) {
        // another account of the same user, with files at paths the first one
        // uses too: equal and different contents
        if (!fixture.server->addUser(accountEmail(1), fixture.password()))
            return;
        secondAccount = true;
        const QList<QPair<QString, int>> seeded = {{QStringLiteral("a.txt"), 900001}, {QStringLiteral("d/b.txt"), 900002},
                                                   {QStringLiteral("f/Rapor.txt"), 900003}};
        for (const auto &file : seeded) {
            const QByteArray bytes = contentBytes(file.second, 120);
            if (fixture.server->putFile(accountEmail(1), file.first, bytes))
                tracked.insert(hashOf(bytes), QStringLiteral("second account ") + file.first);
        }
        // and one file as the first account holds it now, byte for byte
        for (const QJsonValue &value : fixture.server->list(fixture.email())) {
            const QJsonObject node = value.toObject();
            if (node.value(QLatin1String("trashed")).toBool() || node.value(QLatin1String("type")).toString() == QLatin1String("folder"))
                continue;
            const QString path = node.value(QLatin1String("path")).toString();
            if (refused(path) || isHidden(path))
                continue;
            bool ok = false;
            const QByteArray bytes = fixture.server->content(fixture.email(), qint64(node.value(QLatin1String("id")).toDouble()), 0, &ok);
            if (ok)
                fixture.server->putFile(accountEmail(1), path, bytes);
            break;
        }
    }
    if (deviceAccount.at(op.device) == account)
        return;
    // the user stops the program, enters the other account and connects
    Device *device = devices.at(op.device);
    device->engine.stop();
    if (!device->signIn(fixture.server->baseUrl(), accountEmail(account), fixture.password()))
        return;
    deviceAccount[op.device] = account;
    // A question the engine asked stays open across the switch (the window
    // keeps its box); a pass for the other account makes it moot, and an
    // answer then changes nothing.
    if (figures)
        ++figures->accountSwitches;
}

void HistoryRunner::restoreServer(const HistoryOp &op)
{
    const QJsonObject node = fixture.server->node(fixture.email(), op.path);
    const qint64 id = qint64(node.value(QLatin1String("id")).toDouble());
    const qint64 version = qint64(node.value(QLatin1String("version")).toDouble());
    if (id < 1 || node.value(QLatin1String("trashed")).toBool() || node.value(QLatin1String("type")).toString() != QLatin1String("file"))
        return;
    const qint64 back = qMax<qint64>(1, version - qMax(1, op.content));
    if (back >= version)
        return;
    QSet<QByteArray> away;
    for (const QJsonValue &value : node.value(QLatin1String("versions")).toArray()) {
        const QJsonObject v = value.toObject();
        if (qint64(v.value(QLatin1String("version")).toDouble()) > back)
            away.insert(v.value(QLatin1String("sha256")).toString().toLower().toLatin1());
    }
    // the backup knows nothing of the later versions
    if (!rewriteStore(fixture.server->dataDir(),
                      "UPDATE nodes SET version = ?2, sha256 = (SELECT sha256 FROM versions WHERE node_id = ?1 AND version = ?2), "
                      "size = (SELECT size FROM versions WHERE node_id = ?1 AND version = ?2) WHERE id = ?1;"
                      "DELETE FROM versions WHERE node_id = ?1 AND version > ?2",
                      {id, back}))
        return;
    restoredAway[id].unite(away);
    restoredFrom[id] = restoredFrom.contains(id) ? qMin(restoredFrom.value(id), back + 1) : back + 1;
    // a version that lived only on the server is gone with the backup's
    // restore, as the portal's own deletion of it would be; one that a desktop
    // holds has to survive
    const QSet<QByteArray> available = availableContents();
    for (const QByteArray &hash : std::as_const(away)) {
        if (!available.contains(hash))
            tracked.remove(hash);
    }
    if (figures)
        ++figures->restores;
}

void HistoryRunner::makeUnreadable(const HistoryOp &op)
{
    if (displaced(op.device) || op.path.isEmpty())
        return;
    const QString target = devices.at(op.device)->path(op.path);
    const QFileInfo info(target);
    if (!info.exists() || info.isSymLink())
        return;
    for (const Hidden &entry : std::as_const(hidden)) {
        if (isAtOrBelow(target, entry.path) || isAtOrBelow(entry.path, target))
            return;
    }
    setHiddenReadable(false);
    if (!TestPlatform::makeUnreadable(target)) {
        TestPlatform::makeReadableAgain(target);
        return;
    }
    hidden.append({target, op.device});
    if (figures)
        ++figures->unreadable;
}

void HistoryRunner::setHiddenReadable(bool readable)
{
    if (hiddenReadable == readable)
        return;
    hiddenReadable = readable;
    for (const Hidden &entry : std::as_const(hidden)) {
        if (readable)
            TestPlatform::makeReadableAgain(entry.path);
        else
            TestPlatform::makeUnreadable(entry.path);
    }
}

void HistoryRunner::revealAll()
{
    setHiddenReadable(true);
    hidden.clear();
}

// Every file at or below the device's unreadable entries, with its content
// hash, read through them.
QMap<QString, QByteArray> HistoryRunner::hiddenContents(int device)
{
    QMap<QString, QByteArray> contents;
    const bool wasReadable = hiddenReadable;
    setHiddenReadable(true);
    for (const Hidden &entry : std::as_const(hidden)) {
        if (entry.device != device)
            continue;
        if (QFileInfo(entry.path).isFile()) {
            contents.insert(entry.path, hashOfFile(entry.path));
            continue;
        }
        contents.insert(entry.path, "dir");
        QDirIterator it(entry.path, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            contents.insert(path, QFileInfo(path).isDir() ? QByteArray("dir") : hashOfFile(path));
        }
    }
    setHiddenReadable(wasReadable);
    return contents;
}

// Every file in the device's folder (the engine's copies included when asked)
// by relative path, read through unreadable entries.
QMap<QString, QByteArray> HistoryRunner::folderHashes(int device, bool withEngineEntries) const
{
    QMap<QString, QByteArray> files;
    const QString root = devices.at(device)->folder;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(root).relativeFilePath(path);
        // the state file, its lock and temporaries, partial downloads: the engine's bookkeeping
        if (relative.startsWith(QLatin1String(".kumat-sync")) || relative.endsWith(QLatin1String(".kumat-part")))
            continue;
        if (!withEngineEntries && (isEngineEntry(relative) || isHidden(relative)))
            continue;
        bool ok = false;
        const QByteArray hash = hashOfFile(path, &ok);
        if (ok)
            files.insert(relative, hash);
    }
    return files;
}

void HistoryRunner::runSecondEngine(const HistoryOp &op)
{
    // what a second start of the program does with the folder another copy
    // is working in: it refuses, and asks the server nothing about it
    Device *device = devices.at(op.device);
    // at the pass's last log line the first copy has already let the folder go
    if (!device->engine.isRunning())
        return;
    // nor is it working in a folder that is not there: a second start would
    // make it anew, as for a folder never used
    if (!QFileInfo::exists(device->folder))
        return;
    Device second(device->folder);
    if (!second.signIn(fixture.server->baseUrl(), accountEmail(deviceAccount.at(op.device)), fixture.password()))
        return;
    if (figures)
        ++figures->secondEngines;
    QStringList calls;
    QObject::connect(&ApiClientTestAccess::network(second.api), &QNetworkAccessManager::finished, &second,
                     [&](QNetworkReply *reply) { calls << QString::fromLatin1(verbOf(reply)) + QLatin1Char(' ') + reply->url().path(); });
    const QMap<QString, QByteArray> before = folderHashes(op.device, true);
    second.pass();
    const bool refusedFolder = std::any_of(second.logs.cbegin(), second.logs.cend(),
                                           [](const QString &line) { return line.startsWith(anotherCopyLine); });
    const QString where = QStringLiteral("at step %1 (%2)").arg(ops.size()).arg(op.describe());
    if (!refusedFolder || second.logged(completedLine))
        fail(QStringLiteral("a second engine synchronised a folder another engine was working in %1: %2")
                 .arg(where, second.logs.join(QStringLiteral(" | "))));
    else if (!calls.isEmpty())
        fail(QStringLiteral("a second engine that refused the folder still called the server %1: %2").arg(where, calls.join(", ")));
    else if (folderHashes(op.device, true) != before)
        fail(QStringLiteral("a second engine that refused the folder changed it %1").arg(where));
}

bool HistoryRunner::settle()
{
    fixture.server->clearFaults();
    revealAll();
    // every device back on the first account
    for (int i = 0; i < devices.size(); ++i) {
        HistoryOp back;
        back.kind = HistoryOp::SwitchAccount;
        back.device = i;
        switchAccount(back);
    }
    // a question about removals is answered as the user would, by keeping them
    const auto answerQuestions = [this] {
        for (int i = 0; i < devices.size(); ++i) {
            if (!asked.at(i))
                continue;
            devices.at(i)->engine.answerRemovals(SyncEngine::LocalRemoval, false);
            devices.at(i)->engine.answerRemovals(SyncEngine::ServerDeletion, false);
            asked[i] = false;
        }
    };
    // the user brings every sync folder back to where the engine expects it
    for (int i = 0; i < devices.size(); ++i) {
        HistoryOp back;
        back.kind = HistoryOp::MoveFolder;
        back.device = i;
        back.path2 = QStringLiteral("back");
        moveFolder(back);
    }
    QString difference;
    for (int round = 0; round < 5; ++round) {
        answerQuestions();
        for (int i = 0; i < devices.size(); ++i) {
            HistoryOp pass;
            pass.kind = HistoryOp::Pass;
            pass.device = i;
            if (!runPass(pass))
                return false;
        }
        if (checkConverged(&difference))
            return true;
    }
    fail(QStringLiteral("no convergence after fault-free passes (step %1): %2").arg(ops.size()).arg(difference));
    return false;
}

QSet<QByteArray> HistoryRunner::availableContents()
{
    QSet<QByteArray> available;
    QStringList roots;
    for (Device *d : std::as_const(devices))
        roots << d->folder;
    roots << asideFolders;
    // the platform trash, where files dropped by the server go
    roots << QDir(fixture.dataHome()).filePath(QStringLiteral("Trash/files"));
    // what is unreadable to the engine is still there
    const bool wasReadable = hiddenReadable;
    setHiddenReadable(true);
    const auto hideAgain = qScopeGuard([&] { setHiddenReadable(wasReadable); });
    for (const QString &root : std::as_const(roots)) {
        QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (path.endsWith(QLatin1String(".kumat-part")) || QFileInfo(path).fileName() == stateFileName)
                continue;
            bool ok = false;
            const QByteArray hash = hashOfFile(path, &ok);
            if (ok)
                available.insert(hash);
        }
    }
    for (int account = 0; account < (secondAccount ? 2 : 1); ++account) {
        const QJsonArray list = fixture.server->list(accountEmail(account));
        serverLists.insert(accountEmail(account), list);
        if (account == 0)
            lastServerList = list;
        for (const QJsonValue &value : list) {
            const QJsonObject node = value.toObject();
            available.insert(node.value(QLatin1String("sha256")).toString().toLower().toLatin1());
            for (const QJsonValue &version : node.value(QLatin1String("versions")).toArray())
                available.insert(version.toObject().value(QLatin1String("sha256")).toString().toLower().toLatin1());
        }
    }
    return available;
}

// Versions a restore took away whose numbers the server has handed out
// again (to the last listing): its lineage then reads as edits made on top of
// them, and a desktop that recorded one cannot know its content left.
QSet<QByteArray> HistoryRunner::reissuedContents() const
{
    QSet<QByteArray> reissued;
    for (const QJsonValue &value : std::as_const(lastServerList)) {
        const QJsonObject node = value.toObject();
        const qint64 id = qint64(node.value(QLatin1String("id")).toDouble());
        if (restoredFrom.contains(id) && qint64(node.value(QLatin1String("version")).toDouble()) >= restoredFrom.value(id))
            reissued.unite(restoredAway.value(id));
    }
    return reissued;
}

bool HistoryRunner::checkContentKept(const QString &when)
{
    const QSet<QByteArray> available = availableContents();
    if (lastServerList.isEmpty() && !fixture.server->lastError().isEmpty()) {
        fail(QStringLiteral("cannot list the server %1: %2").arg(when, fixture.server->lastError()));
        return false;
    }
    const QSet<QByteArray> reissued = reissuedContents();
    for (auto it = tracked.begin(); it != tracked.end();) {
        if (!available.contains(it.key()) && reissued.contains(it.key())) {
            it = tracked.erase(it);
            continue;
        }
        if (!available.contains(it.key())) {
            fail(QStringLiteral("content lost %1: %2 (%3)").arg(when, QString::fromLatin1(it.key()), it.value()));
            return false;
        }
        ++it;
    }
    return true;
}

QMap<QString, QByteArray> HistoryRunner::outsideManifest() const
{
    QMap<QString, QByteArray> manifest;
    const auto add = [&](const QString &root, const QString &label, const QStringList &skipTop) {
        QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const QString relative = QDir(root).relativeFilePath(path);
            const QString top = relative.section(QLatin1Char('/'), 0, 0);
            if (skipTop.contains(top))
                continue;
            const QFileInfo info(path);
            QByteArray entry;
            if (info.isSymLink())
                entry = "link " + QFile::encodeName(info.symLinkTarget());
            else if (info.isDir())
                entry = "dir";
            else
                entry = hashOfFile(path) + ' ' + QByteArray::number(info.lastModified().toMSecsSinceEpoch());
            manifest.insert(label + relative, entry);
        }
    };
    QStringList syncTops;
    for (Device *d : devices)
        syncTops << QFileInfo(d->folder).fileName();
    // the data folder may only gain the platform trash
    const QString dataTop = QFileInfo(fixture.dataHome()).fileName();
    // the user's doing: sync folders moved away and what took their place
    add(fixture.work->path(), QStringLiteral("work/"), syncTops + QStringList{dataTop, QStringLiteral("away")});
    add(fixture.home.path(), QStringLiteral("home/"), {});
    QDirIterator it(fixture.dataHome(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString relative = QDir(fixture.dataHome()).relativeFilePath(it.next());
        if (relative != QLatin1String("Trash") && !relative.startsWith(QLatin1String("Trash/")))
            manifest.insert(QStringLiteral("data/") + relative, "unexpected");
    }
    return manifest;
}

bool HistoryRunner::checkOutsideUntouched(const QString &when)
{
    const QMap<QString, QByteArray> now = outsideManifest();
    if (now != outsideBefore) {
        QStringList changed;
        for (auto it = now.cbegin(); it != now.cend(); ++it) {
            if (outsideBefore.value(it.key()) != it.value())
                changed << it.key();
        }
        for (auto it = outsideBefore.cbegin(); it != outsideBefore.cend(); ++it) {
            if (!now.contains(it.key()))
                changed << it.key() + QStringLiteral(" (gone)");
        }
        fail(QStringLiteral("something outside the sync folder changed %1: %2").arg(when, changed.join(", ")));
        return false;
    }
    const QStringList cwd = QDir::current().entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    if (cwd != cwdBefore) {
        fail(QStringLiteral("the working directory changed %1: %2").arg(when, cwd.join(", ")));
        return false;
    }
    return true;
}

bool HistoryRunner::checkConverged(QString *difference)
{
    QMap<QString, QByteArray> serverFiles;
    QSet<QString> serverFolders;
    for (const QJsonValue &value : fixture.server->list(fixture.email())) {
        const QJsonObject node = value.toObject();
        if (node.value(QLatin1String("trashed")).toBool())
            continue;
        const QString path = node.value(QLatin1String("path")).toString();
        if (refused(path))
            continue;
        if (node.value(QLatin1String("type")).toString() == QLatin1String("folder"))
            serverFolders.insert(path);
        else
            serverFiles.insert(path, node.value(QLatin1String("sha256")).toString().toLower().toLatin1());
    }

    QList<QMap<QString, QByteArray>> deviceFiles;
    QList<QSet<QString>> deviceDirs;
    QSet<QString> allPaths(serverFolders);
    for (auto it = serverFiles.cbegin(); it != serverFiles.cend(); ++it)
        allPaths.insert(it.key());
    for (int i = 0; i < devices.size(); ++i) {
        QMap<QString, QByteArray> files;
        for (const QString &relative : localFiles(i)) {
            if (refused(relative))
                continue;
            files.insert(relative, hashOfFile(devices.at(i)->path(relative)));
            allPaths.insert(relative);
        }
        QStringList dirList = localDirs(i);
        dirList.removeIf([&](const QString &dir) { return refused(dir); });
        const QSet<QString> dirs(dirList.cbegin(), dirList.cend());
        allPaths.unite(dirs);
        deviceFiles.append(files);
        deviceDirs.append(dirs);
    }

    // Names that differ only in letter case cannot both live in one folder on
    // the desktop; the engine refuses the later one, so they never converge.
    QHash<QString, QSet<QString>> spellings;
    for (const QString &path : std::as_const(allPaths)) {
        const QStringList parts = path.split(QLatin1Char('/'));
        for (int n = 1; n <= parts.size(); ++n) {
            const QString prefix = parts.mid(0, n).join(QLatin1Char('/'));
            spellings[prefix.toLower()].insert(prefix);
        }
    }
    // A file on one side where the other has a folder stays as it is on both
    // (the user is told, and renames one); neither it nor what lies below
    // it converges.
    QSet<QString> clashes;
    for (int i = 0; i < deviceFiles.size(); ++i) {
        for (auto it = deviceFiles.at(i).cbegin(); it != deviceFiles.at(i).cend(); ++it) {
            if (serverFolders.contains(it.key()))
                clashes.insert(it.key());
        }
        for (const QString &dir : deviceDirs.at(i)) {
            if (serverFiles.contains(dir))
                clashes.insert(dir);
        }
    }
    const auto excluded = [&](const QString &path) {
        if (std::any_of(clashes.cbegin(), clashes.cend(), [&](const QString &root) { return isAtOrBelow(path, root); }))
            return true;
        // a name the server refuses (a control character, from a hostile
        // item copied here) stays on the desktop alone
        for (const QChar c : path) {
            if (c.unicode() < 0x20 || c.unicode() == 0x7f)
                return true;
        }
        const QStringList parts = path.split(QLatin1Char('/'));
        for (int n = 1; n <= parts.size(); ++n) {
            if (spellings.value(parts.mid(0, n).join(QLatin1Char('/')).toLower()).size() > 1)
                return true;
        }
        return false;
    };

    QStringList problems;
    for (int i = 0; i < devices.size(); ++i) {
        const QMap<QString, QByteArray> &files = deviceFiles.at(i);
        for (auto it = serverFiles.cbegin(); it != serverFiles.cend(); ++it) {
            if (excluded(it.key()))
                continue;
            if (!files.contains(it.key()))
                problems << QStringLiteral("dev%1 lacks %2").arg(i).arg(it.key());
            else if (files.value(it.key()) != it.value())
                problems << QStringLiteral("dev%1 holds other content at %2").arg(i).arg(it.key());
        }
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            if (!excluded(it.key()) && !serverFiles.contains(it.key()))
                problems << QStringLiteral("dev%1 has %2, the server does not").arg(i).arg(it.key());
        }
        // An empty local folder is never uploaded and a local folder is never
        // removed, so only the server's folders have to appear here.
        for (const QString &folder : std::as_const(serverFolders)) {
            if (!excluded(folder) && !deviceDirs.at(i).contains(folder))
                problems << QStringLiteral("dev%1 lacks folder %2").arg(i).arg(folder);
        }
    }
    *difference = problems.join(QStringLiteral("; "));
    return problems.isEmpty();
}

void HistoryRunner::fail(const QString &text)
{
    if (failure.found)
        return;
    failure.found = true;
    failure.text = text;
    if (figures)
        ++figures->violations;
}

QList<HistoryOp> shrinkHistory(PassFixture &fixture, int deviceCount, const QList<HistoryOp> &failing, int budget,
                               QString *lastViolation)
{
    QList<HistoryOp> current = failing;
    const auto stillFails = [&](const QList<HistoryOp> &candidate) {
        fixture.endTest();
        fixture.beginTest();
        HistoryRunner runner(fixture, deviceCount, nullptr);
        const bool ok = runner.replay(candidate);
        if (!ok)
            *lastViolation = runner.violation();
        return !ok;
    };
    int chunk = qMax(1, int(current.size()) / 2);
    while (budget > 0) {
        bool removedAny = false;
        for (int start = 0; start < current.size() && budget > 0;) {
            QList<HistoryOp> candidate = current.mid(0, start) + current.mid(start + chunk);
            --budget;
            if (!candidate.isEmpty() && stillFails(candidate)) {
                current = candidate;
                removedAny = true;
            } else {
                start += chunk;
            }
        }
        if (chunk == 1 && !removedAny)
            break;
        if (!removedAny)
            chunk = qMax(1, chunk / 2);
    }
    // the nested user steps of a pass can often go too
    for (int i = 0; i < current.size() && budget > 0; ++i) {
        if (current.at(i).nested.isEmpty() && current.at(i).fault < 0 && !current.at(i).stopOnProgress
            && current.at(i).stopAfterReplies == 0)
            continue;
        QList<HistoryOp> candidate = current;
        candidate[i].nested.clear();
        candidate[i].midOnLog = 0;
        candidate[i].fault = -1;
        candidate[i].stopOnProgress = false;
        candidate[i].stopAfterReplies = 0;
        --budget;
        if (stillFails(candidate))
            current = candidate;
    }
    return current;
}

bool runSeededHistories(PassFixture &fixture, quint64 seed, int count, int steps, bool killedPasses, QString *report)
{
    HistoryFigures figures;
    QElapsedTimer clock;
    clock.start();
    bool ok = true;
    for (int i = 0; i < count && ok; ++i) {
        const quint64 historySeed = seed + quint64(i);
        const int deviceCount = historySeed % 3 == 0 ? 1 : 2;
        fixture.beginTest();
        HistoryRunner runner(fixture, deviceCount, &figures);
        runner.setKilledPasses(killedPasses);
        ++figures.histories;
        if (runner.runRandom(historySeed, steps)) {
            fixture.endTest();
            continue;
        }
        ok = false;
        const QString violation = runner.violation();
        QString shrunkViolation = violation;
        const QList<HistoryOp> shortest = shrinkHistory(fixture, deviceCount, runner.applied(), 80, &shrunkViolation);
        *report = QStringLiteral("seed %1 (%2 devices): %3\nshortest list found (%4 of %5 steps), which fails with: %6\n")
                      .arg(historySeed)
                      .arg(deviceCount)
                      .arg(violation)
                      .arg(shortest.size())
                      .arg(runner.applied().size())
                      .arg(shrunkViolation);
        for (int n = 0; n < shortest.size(); ++n)
            *report += QStringLiteral("  %1. %2\n").arg(n + 1).arg(shortest.at(n).describe());
        *report += QStringLiteral("rerun with KUMAT_HISTORY_SEED=%1 KUMAT_HISTORIES=1\n").arg(historySeed);
    }
    *report += QStringLiteral("histories: %1, operations: %2, passes: %3, faults injected: %4, stops: %5, "
                              "steps during passes: %6, kills: %7, folder moves: %8, hostile items: %9, "
                              "scenarios: %10, unreadable entries: %13, account switches: %14, server restores: %15, "
                              "second copies: %16, sign-ins refused: %17, removal questions: %18, violations: %11, seconds: %12")
                   .arg(figures.histories)
                   .arg(figures.operations)
                   .arg(figures.passes)
                   .arg(figures.faults)
                   .arg(figures.stops)
                   .arg(figures.nestedSteps)
                   .arg(figures.kills)
                   .arg(figures.folderMoves)
                   .arg(figures.hostileItems)
                   .arg(figures.scenarios)
                   .arg(figures.violations)
                   .arg(clock.elapsed() / 1000.0, 0, 'f', 1)
                   .arg(figures.unreadable)
                   .arg(figures.accountSwitches)
                   .arg(figures.restores)
                   .arg(figures.secondEngines)
                   .arg(figures.signInsRefused)
                   .arg(figures.removalQuestions);
    return ok;
}

namespace {

quint64 historySeed(quint64 fallback)
{
    const QByteArray text = qgetenv("KUMAT_HISTORY_SEED");
    if (text == "random")
        return QRandomGenerator::system()->generate64() % 1000000000;
    return text.isEmpty() ? fallback : text.toULongLong();
}

int envNumber(const char *name, int fallback)
{
    return qEnvironmentVariableIsSet(name) ? qEnvironmentVariableIntValue(name) : fallback;
}

} // namespace

bool runHistoriesFromEnvironment(PassFixture &fixture, quint64 defaultSeed, int defaultCount, bool killedPasses,
                                 QString *report)
{
    return runSeededHistories(fixture, historySeed(defaultSeed), envNumber("KUMAT_HISTORIES", defaultCount),
                              envNumber("KUMAT_HISTORY_STEPS", 30), killedPasses, report);
}
