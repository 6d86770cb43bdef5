#include "syncengine.h"

#include "dirwalk.h"
#include "filereader.h"
#include "pass_localtrash.h"
#include "pathrules.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QStringList>
#include <QThread>

#include <algorithm>
#include <charconv>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace {

// The names the engine keeps for itself at the top of the folder; a user's
// entry of the same name further down is ordinary content.
const QLatin1String topLevelEntries[] = {
    QLatin1String(".kumat-sync.json"),
    QLatin1String(".kumat-conflicts"),
    QLatin1String(".kumat-portal-silinenler"),
    QLatin1String(".kumat-sync.lock"),
};
// The ending of the names the engine gives its partial downloads, anywhere.
const QLatin1String partialSuffix(".kumat-part");

// What a safe write leaves beside its target while it writes, where the
// platform has no unnamed temporary files (Windows): "<target>.XXXXXX".
// After a crash it stays behind; it is the engine's, never the user's.
bool isSaveTemporaryTail(QStringView tail)
{
    constexpr qsizetype length = 7; // "." and six letters or digits
    if (tail.size() != length || tail.front() != QLatin1Char('.'))
        return false;
    for (const QChar c : tail.mid(1)) {
        if (c.unicode() >= 0x80 || !c.isLetterOrNumber())
            return false;
    }
    return true;
}

// The first component of a relative path.
QStringView topComponent(const QString &relativePath)
{
    const qsizetype slash = relativePath.indexOf(QLatin1Char('/'));
    return QStringView(relativePath).left(slash < 0 ? relativePath.size() : slash);
}

bool isStateFileTemporary(QStringView top, Qt::CaseSensitivity cs)
{
    return top.startsWith(topLevelEntries[0], cs) && isSaveTemporaryTail(top.mid(topLevelEntries[0].size()));
}

} // namespace

bool SyncEngine::isEngineEntry(const QString &relativePath)
{
    return isEngineEntry(relativePath, platformNamesIgnoreCase() ? Qt::CaseInsensitive : Qt::CaseSensitive);
}

bool SyncEngine::isEngineEntry(const QString &relativePath, Qt::CaseSensitivity cs)
{
    // An entry and everything below it: a server file in place of one of the
    // engine's folders, or a folder in place of its state file, would take
    // that place for good. Names that other writers leave beside these
    // entries belong here too, so that the scan, the intake and the watcher
    // keep agreeing about them.
    const QStringView top = topComponent(relativePath);
    for (const QLatin1String &name : topLevelEntries) {
        if (top.compare(name, cs) == 0)
            return true;
    }
    // the state file's own temporary
    if (isStateFileTemporary(top, cs))
        return true;
    for (qsizetype at = relativePath.indexOf(partialSuffix, 0, cs); at >= 0;
         at = relativePath.indexOf(partialSuffix, at + 1, cs)) {
        const qsizetype end = at + partialSuffix.size();
        if (end == relativePath.size() || relativePath.at(end) == QLatin1Char('/'))
            return true;
        const qsizetype slash = relativePath.indexOf(QLatin1Char('/'), end);
        const qsizetype componentEnd = slash < 0 ? relativePath.size() : slash;
        if (isSaveTemporaryTail(QStringView(relativePath).mid(end, componentEnd - end)))
            return true;
    }
    return false;
}

bool SyncEngine::isLeftoverOfWrite(const QString &relativePath)
{
    return isLeftoverOfWrite(relativePath, platformNamesIgnoreCase() ? Qt::CaseInsensitive : Qt::CaseSensitive);
}

bool SyncEngine::isLeftoverOfWrite(const QString &relativePath, Qt::CaseSensitivity cs)
{
    // The conflict copies and the archive hold what the engine kept for the
    // user; nothing in them is removed, whatever its name.
    const QStringView top = topComponent(relativePath);
    if (top.compare(topLevelEntries[1], cs) == 0 || top.compare(topLevelEntries[2], cs) == 0)
        return false;
    if (top.size() == relativePath.size() && isStateFileTemporary(top, cs))
        return true;
    const QStringView name = QStringView(relativePath).mid(relativePath.lastIndexOf(QLatin1Char('/')) + 1);
    if (name.endsWith(partialSuffix, cs))
        return true;
    constexpr qsizetype tail = 7;
    return name.size() > tail && name.chopped(tail).endsWith(partialSuffix, cs)
        && isSaveTemporaryTail(name.right(tail));
}

// One scan, on threads of its own: the walk on one, the reads on as many as
// the machine has cores (the walk's thread joins them when it is done). It
// holds copies of all it needs, so a configure() or stop() on the window's
// thread, while it waits, changes nothing under it.
class SyncEngine::ScanJob : public DirWalk::EntryObserver
{
public:
    struct Item
    {
        QString relative;
        SyncEngine::LocalFile file;
    };
    struct Listing
    {
        QString dirPath;
        std::vector<DirWalk::Entry> entries;
        // the item each unmeasured entry is read as
        std::vector<Item *> reads;
    };

    QString root;
    QSet<QString> listed;
    std::shared_ptr<std::atomic<bool>> stop;
    bool wantLeftovers = false;
    bool wantGaps = false;
    bool wantFolders = false;
    int readers = 1;

    QMap<QString, SyncEngine::LocalFile> files;
    QStringList leftovers;
    SyncEngine::ScanGaps gaps;
    QHash<QString, QByteArray> digests;
    // what the watcher would list: the top folder first, then every folder
    // below it but the engine's own
    QStringList folders;

    bool wantsEntries(const QString &dirPath) override { return listed.contains(dirPath); }
    void directory(const QString &path) override
    {
        if (wantFolders && !SyncEngine::isEngineEntry(relativeOf(path, rootPrefix)))
            folders.append(path);
    }
    void entry(const QString &dirPath, const DirWalk::Entry &entry) override
    {
        if (listings.empty() || listings.back().dirPath != dirPath)
            listings.push_back(Listing{dirPath, {}, {}});
        listings.back().entries.push_back(entry);
        if (!entry.measured) {
            listings.back().reads.push_back(nullptr);
            awaitingRead = {listings.size() - 1, listings.back().reads.size() - 1};
            awaiting = true;
        }
    }

    void run()
    {
        std::vector<std::unique_ptr<QThread>> helpers;
        for (int i = 1; i < readers; ++i) {
            helpers.emplace_back(QThread::create([this] { readAll(); }));
            helpers.back()->start();
        }
        walk();
        readAll();
        for (const auto &helper : helpers)
            helper->wait();
        if (stop->load()) {
            gaps.stopped = true;
            return;
        }
        collect();
    }

private:
    std::deque<Item> items;
    std::vector<Listing> listings;
    std::vector<QHash<QString, QByteArray>> digestParts;
    // the unmeasured entry that the next take() is for
    std::pair<std::size_t, std::size_t> awaitingRead;
    bool awaiting = false;
    std::mutex mutex;
    std::condition_variable more;
    std::size_t next = 0;
    bool walked = false;
    QString rootPrefix;

    QString relativeOf(const QString &path, const QString &prefix) const
    {
        return path.startsWith(prefix) ? path.mid(prefix.size())
                                       : QDir::fromNativeSeparators(QDir(root).relativeFilePath(path));
    }

    void walk()
    {
        rootPrefix = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
        const QString &prefix = rootPrefix;
        if (wantFolders)
            folders.append(root);
        std::function<void(const QString &)> unreadable;
        if (wantGaps) {
            unreadable = [&](const QString &path) {
                if (path == root) {
                    gaps.top = true;
                    return;
                }
                const QString relative = relativeOf(path, prefix);
                if (!SyncEngine::isEngineEntry(relative))
                    gaps.folders.append(relative);
            };
        }
        DirWalk::list(
            root, DirWalk::Listing::Files,
            [&](const QString &path) {
                const bool measuredByRead = std::exchange(awaiting, false);
                // a stopped scan only lists what is left, reading nothing
                if (stop->load(std::memory_order_relaxed))
                    return;
                QString relative = relativeOf(path, prefix);
                if (!SyncEngine::isEngineEntry(relative)) {
                    std::lock_guard<std::mutex> lock(mutex);
                    items.push_back(Item{std::move(relative), {}});
                    items.back().file.absolutePath = path;
                    if (measuredByRead)
                        listings[awaitingRead.first].reads[awaitingRead.second] = &items.back();
                    // a wake-up per file would cost more than many small files take to read
                    if (items.size() % wakeEvery == 0)
                        more.notify_all();
                } else if (wantLeftovers && SyncEngine::isLeftoverOfWrite(relative)) {
                    leftovers.append(relative);
                }
            },
            unreadable, listed.isEmpty() && !wantFolders ? nullptr : this);
        std::lock_guard<std::mutex> lock(mutex);
        walked = true;
        more.notify_all();
    }

    static constexpr std::size_t wakeEvery = 32;

    void readAll()
    {
        FileReader reader;
        constexpr std::size_t batch = 8;
        Item *taken[batch];
        for (;;) {
            std::size_t count = 0;
            {
                std::unique_lock<std::mutex> lock(mutex);
                more.wait(lock, [this] { return next < items.size() || walked; });
                while (count < batch && next < items.size())
                    taken[count++] = &items[next++];
            }
            if (count == 0)
                return;
            for (std::size_t i = 0; i < count; ++i)
                read(reader, *taken[i]);
        }
    }

    void read(FileReader &reader, Item &item)
    {
        if (stop->load(std::memory_order_relaxed))
            return;
        SyncEngine::LocalFile &file = item.file;
        const FileContent content = reader.read(file.absolutePath, stop.get());
        // what QFileInfo::fileName gives for a "/"-separated path, without its allocation
        file.name = file.absolutePath.mid(file.absolutePath.lastIndexOf(QLatin1Char('/')) + 1);
        file.hash = content.sha256;
        file.size = content.size;
        file.createdMs = content.createdMs;
        file.modifiedMs = content.modifiedMs;
    }

    void collect()
    {
        // Every read is done: the items and listings are only read from here
        // on, and each thread writes a part of its own.
        const std::size_t parts = listings.empty() ? 0 : std::size_t(std::max(readers, 1));
        digestParts.resize(parts);
        std::vector<std::unique_ptr<QThread>> helpers;
        for (std::size_t part = 1; part < parts; ++part) {
            helpers.emplace_back(QThread::create([this, part, parts] { digestListings(part, parts); }));
            helpers.back()->start();
        }
        // in key order, so the map is built from its end without a search per file
        std::vector<Item *> ordered;
        ordered.reserve(items.size());
        for (Item &item : items)
            ordered.push_back(&item);
        std::sort(ordered.begin(), ordered.end(),
                  [](const Item *a, const Item *b) { return a->relative < b->relative; });
        for (Item *item : ordered) {
            files.insert(files.cend(), item->relative, item->file);
            if (wantGaps && item->file.hash.isEmpty())
                gaps.files.append(item->relative);
        }
        if (parts > 0)
            digestListings(0, parts);
        for (const auto &helper : helpers)
            helper->wait();
        for (const QHash<QString, QByteArray> &part : digestParts)
            digests.insert(part);
    }

    // The listings' digests, part `part` of `parts`. They take longer than the
    // map, so the map is built beside them.
    void digestListings(std::size_t part, std::size_t parts)
    {
        QHash<QString, QByteArray> &into = digestParts[part];
        for (std::size_t at = part; at < listings.size(); at += parts) {
            Listing &listing = listings[at];
            auto reads = listing.reads.cbegin();
            for (DirWalk::Entry &entry : listing.entries) {
                if (entry.measured)
                    continue;
                const Item *item = *reads++;
                if (!item)
                    continue; // the engine's own: not part of the digest
                entry.size = item->file.size;
                entry.modifiedMs = item->file.modifiedMs;
            }
            const QString relativeDir =
                listing.dirPath == root ? QString() : relativeOf(listing.dirPath, rootPrefix) + QLatin1Char('/');
            into.insert(listing.dirPath, SyncEngine::listingDigest(listing.entries, relativeDir));
        }
    }
};

// The scan's job and the thread that runs it. Stopped and joined when it goes
// without having been finished: its reading must not outlive the pass that
// gave up on it.
class SyncEngine::ScanRun
{
public:
    ~ScanRun()
    {
        if (!thread)
            return;
        job.stop->store(true);
        thread->wait();
    }

    ScanJob job;
    std::unique_ptr<QThread> thread;
};

void SyncEngine::ScanRunEnd::operator()(ScanRun *run) const
{
    delete run;
}

QMap<QString, SyncEngine::LocalFile> SyncEngine::scanLocal(QStringList *leftovers, ScanGaps *gaps,
                                                           QHash<QString, QByteArray> *listings) const
{
    return finishScan(startScan(leftovers != nullptr, gaps != nullptr, listings != nullptr), leftovers, gaps,
                      listings);
}

SyncEngine::ScanRunPtr SyncEngine::startScan(bool wantLeftovers, bool wantGaps, bool wantListings) const
{
    ScanRunPtr run(new ScanRun);
    ScanJob &job = run->job;
    job.root = syncFolder;
    // the watcher belongs to the window's thread; the job takes a copy
    if (wantListings) {
        const QStringList watched = watcher.directories();
        job.listed = QSet<QString>(watched.cbegin(), watched.cend());
    }
    job.wantFolders = wantListings;
    job.wantLeftovers = wantLeftovers;
    job.wantGaps = wantGaps;
    // Reading is what a scan does; one reader per core keeps every core
    // reading, each with its own 1 MiB buffer, and no more: a pass over a
    // spinning disk gains nothing from a crowd.
    job.readers = std::clamp(QThread::idealThreadCount(), 1, 4);
    // stop() reaches the scan through this from now until it is finished
    scanStop = std::make_shared<std::atomic<bool>>(false);
    job.stop = scanStop;
    run->thread.reset(QThread::create([&job] { job.run(); }));
    run->thread->start();
    return run;
}

QMap<QString, SyncEngine::LocalFile> SyncEngine::finishScan(ScanRunPtr run, QStringList *leftovers, ScanGaps *gaps,
                                                            QHash<QString, QByteArray> *listings,
                                                            QStringList *folders) const
{
    // The reading takes as long as the folder is large; the window, the tray
    // and a stop go on being answered meanwhile, as while the pass waits for
    // the server. Connected before asking, so that an end in between is not
    // missed.
    QThread *thread = run->thread.get();
    if (QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread()) {
        QEventLoop loop;
        connect(thread, &QThread::finished, &loop, &QEventLoop::quit);
        if (!thread->isFinished())
            loop.exec();
    }
    thread->wait();
    run->thread.reset();
    if (scanStop == run->job.stop)
        scanStop.reset();

    const ScanJob &job = run->job;
    if (leftovers) {
        *leftovers = job.leftovers;
        // The walk leaves out hidden names, and on Linux the state file's
        // temporary is one; only file systems without unnamed temporary files
        // leave it, but a leftover there would stay for good.
        const QStringList names = QDir(job.root).entryList({topLevelEntries[0] + QLatin1String(".*")},
                                                           QDir::Files | QDir::Hidden | QDir::System);
        for (const QString &name : names) {
            if (isLeftoverOfWrite(name) && !leftovers->contains(name))
                leftovers->append(name);
        }
    }
    if (gaps)
        *gaps = job.gaps;
    if (listings)
        *listings = job.digests;
    if (folders)
        *folders = job.folders;
    return job.gaps.stopped ? QMap<QString, LocalFile>() : job.files;
}

void SyncEngine::abandonScan(ScanRunPtr run) const
{
    const std::shared_ptr<std::atomic<bool>> stop = run->job.stop;
    run.reset();
    if (scanStop == stop)
        scanStop.reset();
}

QByteArray SyncEngine::listingDigest(std::vector<DirWalk::Entry> &entries, const QString &relativeDir)
{
    // What a directory lists, apart from the engine's own entries (the state
    // file and the staging files of downloads, with the temporaries that a
    // safe write leaves beside them, are no change of the user's): names,
    // kinds, and the sizes and times of files. Subdirectories count by name
    // only; their contents are watched on their own.
    std::sort(entries.begin(), entries.end(),
              [](const DirWalk::Entry &a, const DirWalk::Entry &b) { return a.name < b.name; });
    // one line per entry, hashed as one text
    QByteArray text;
    text.reserve(qsizetype(entries.size()) * 64);
    QString path = relativeDir;
    const auto appendNumber = [&text](qint64 value) {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        text.append(digits, end - digits);
    };
    for (const DirWalk::Entry &entry : entries) {
        path.truncate(relativeDir.size());
        path += entry.name;
        if (isEngineEntry(path))
            continue;
        text += entry.name.toUtf8();
        // "/" never appears in a name
        text += entry.dir ? "/d" : "/f";
        if (!entry.dir) {
            appendNumber(entry.size);
            text += ':';
            appendNumber(entry.modifiedMs);
        }
        text += '\n';
    }
    return QCryptographicHash::hash(text, QCryptographicHash::Sha1);
}

void SyncEngine::removeLeftoversOfWrites(const QStringList &relativePaths)
{
    // A download or a state write that a crash or a power cut cut short
    // leaves its file behind: it is never uploaded. No other engine writes
    // here (the folder is locked) and this pass has written nothing yet. The
    // state file's temporary is the engine's alone and goes; a name ending
    // in ".kumat-part" may also be one the user chose, so it goes to the
    // trash, where it can be restored, or stays where it is.
    if (!folderLock || !folderLock->isLocked())
        return;
    for (const QString &relative : relativePaths) {
        if (!folderStillSame())
            return;
        const QString path = absolute(relative);
        const QFileInfo info(path);
        if (info.isDir() && !info.isSymLink())
            continue;
        const bool ownTemporary = isStateFileTemporary(topComponent(relative),
                                                       platformNamesIgnoreCase() ? Qt::CaseInsensitive
                                                                                 : Qt::CaseSensitive);
        if (ownTemporary ? QFile::remove(path) : LocalTrash::moveToTrash(path)) {
            leftoversRefused.remove(relative);
            Q_EMIT log((ownTemporary ? QStringLiteral("Yarım kalmış bir yazmadan kalan geçici dosya silindi: ")
                                     : QStringLiteral("Yarım kalmış bir yazmadan kalan geçici dosya çöp kutusuna "
                                                      "taşındı: "))
                       + relative);
        } else if (!leftoversRefused.contains(relative)) {
            leftoversRefused.insert(relative);
            Q_EMIT log(QStringLiteral("Yarım kalmış bir yazmadan kalan geçici dosya silinemedi: ") + relative);
        }
    }
}

void SyncEngine::reportScanGaps(const ScanGaps &gaps)
{
    // Said once while it lasts: a pass every few minutes repeating it would
    // bury everything else the user is told.
    QSet<QString> now;
    for (const QString &folder : gaps.folders) {
        now.insert(folder);
        if (gapsReported.contains(folder))
            continue;
        Q_EMIT log(QStringLiteral("Klasör okunamadı; içindekiler silinmiş sayılmadı, okunabilene kadar dokunulmayacak: ")
                   + folder);
        Q_EMIT notification(QStringLiteral("Senkronizasyon uyarısı"),
                            QStringLiteral("Okunamayan klasör senkronize edilmiyor: ") + folder, 1);
    }
    for (const QString &file : gaps.files) {
        now.insert(file);
        // gone between the listing and the read: nothing to tell
        if (gapsReported.contains(file) || !QFileInfo::exists(absolute(file)))
            continue;
        Q_EMIT log(QStringLiteral("Dosya okunamadı (başka bir programda açık olabilir); sonraki denetimde yeniden "
                                  "denenecek: ")
                   + file);
        Q_EMIT notification(QStringLiteral("Senkronizasyon uyarısı"),
                            QStringLiteral("Okunamayan dosya bu denetimde atlandı: ") + file, 1);
    }
    gapsReported = now;
}

SyncEngine::LocalFile SyncEngine::localFileAt(const QString &absolutePath) const
{
    const FileContent content = readFileContent(absolutePath);
    LocalFile file;
    file.absolutePath = absolutePath;
    // what QFileInfo::fileName gives for a "/"-separated path, without its allocation
    file.name = absolutePath.mid(absolutePath.lastIndexOf(QLatin1Char('/')) + 1);
    file.hash = content.sha256;
    file.size = content.size;
    file.createdMs = content.createdMs;
    file.modifiedMs = content.modifiedMs;
    return file;
}

QString SyncEngine::hashFile(const QString &absolutePath) const
{
    return readFileContent(absolutePath).sha256;
}
