// Whole-pass benchmark: the synchronisation pass against the machine's floor
// (a bare read-and-hash), against its own per-request floor (bare ApiClient
// calls) and against rclone with one transfer at a time, all on loopback HTTPS
// against the reference server, measured in one run.
//
//   bench_pass [--figures noop,large,first,download,latency,idle,scaling]
//              [--quick] [--repeat N] [--small N] [--large N] [--large-mib M]
//              [--sync-files N] [--scaling 1000,10000,100000] [--idle-seconds S]
//              [--latency-runs N]
//
// rclone and perf are optional (apt-get install rclone linux-perf); without
// rclone the rclone comparisons are skipped and said so.

#include "apiclient.h"
#include "referenceserver.h"
#include "syncengine.h"
#include "testtls.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QMetaObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <openssl/evp.h>

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const QString password = QStringLiteral("bench-password-1");
const QString deviceName = QStringLiteral("Kumat Sync Masaüstü");

struct Figure
{
    QString name;
    QString label;
    double value = 0;
    QString unit;
    QString referenceName;
    double reference = 0;
    double ratio = 0; // value / reference, or reference / value for rates; 0 = none
    QString goal;
    QString note;
};

std::vector<Figure> figures;

void out(const QString &line)
{
    std::fprintf(stdout, "%s\n", qPrintable(line));
    std::fflush(stdout);
}

void progress(const QString &line)
{
    std::fprintf(stderr, "# %s\n", qPrintable(line));
    std::fflush(stderr);
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void addFigure(const Figure &figure)
{
    figures.push_back(figure);
    QString line = QStringLiteral("BENCH name=%1 value=%2 unit=%3").arg(figure.name).arg(figure.value, 0, 'g', 6).arg(figure.unit);
    if (!figure.referenceName.isEmpty())
        line += QStringLiteral(" reference=%1 reference_value=%2").arg(figure.referenceName).arg(figure.reference, 0, 'g', 6);
    if (figure.ratio > 0)
        line += QStringLiteral(" ratio=%1").arg(figure.ratio, 0, 'f', 3);
    if (!figure.goal.isEmpty())
        line += QStringLiteral(" goal=\"%1\"").arg(figure.goal);
    out(line);
}

// Waits in the event loop (timers, the watcher and network keep working)
// until the predicate holds or the time is up.
bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QEventLoop loop;
        QTimer::singleShot(5, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

void pause(int ms)
{
    waitFor([] { return false; }, ms);
}

// ---------------------------------------------------------------- trees

// count files of size bytes spread over `folders` folders (d0000/f000000.bin);
// each file's content is distinct so no two digests agree.
bool makeTree(const QString &root, int count, qint64 size, int folders)
{
    QDir().mkpath(root);
    folders = std::max(1, folders);
    QRandomGenerator random(uint(count) * 7919u + uint(size));
    std::vector<char> block(size_t(std::min<qint64>(size, 4 * 1024 * 1024)));
    for (int i = 0; i < count; ++i) {
        const QString dir = root + QStringLiteral("/d%1").arg(i % folders, 4, 10, QLatin1Char('0'));
        if (i < folders)
            QDir().mkpath(dir);
        QFile file(dir + QStringLiteral("/f%1.bin").arg(i, 6, 10, QLatin1Char('0')));
        if (!file.open(QIODevice::WriteOnly))
            return false;
        qint64 left = size;
        while (left > 0) {
            random.fillRange(reinterpret_cast<quint32 *>(block.data()), block.size() / sizeof(quint32));
            const qint64 n = std::min<qint64>(left, qint64(block.size()));
            if (file.write(block.data(), n) != n)
                return false;
            left -= n;
        }
    }
    return true;
}

// The floor of a pass with nothing to do: list the folder, open every file,
// read it and hash it with the same library, nothing else.
struct FloorResult
{
    qint64 files = 0;
    qint64 bytes = 0;
};

void floorWalk(const std::string &dir, EVP_MD_CTX *ctx, std::vector<char> &buffer, FloorResult &result, bool top)
{
    DIR *d = opendir(dir.c_str());
    if (!d)
        return;
    while (dirent *entry = readdir(d)) {
        if (entry->d_name[0] == '.') {
            // the engine's own entries and hidden files are not part of the floor either
            continue;
        }
        const std::string path = dir + '/' + entry->d_name;
        if (entry->d_type == DT_DIR) {
            floorWalk(path, ctx, buffer, result, false);
            continue;
        }
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
        for (;;) {
            const ssize_t n = ::read(fd, buffer.data(), buffer.size());
            if (n <= 0)
                break;
            EVP_DigestUpdate(ctx, buffer.data(), size_t(n));
            result.bytes += n;
        }
        EVP_DigestFinal_ex(ctx, digest, &length);
        ::close(fd);
        ++result.files;
    }
    closedir(d);
    Q_UNUSED(top);
}

double floorSeconds(const QString &root, FloorResult *result = nullptr)
{
    std::vector<char> buffer(1024 * 1024);
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    FloorResult r;
    QElapsedTimer clock;
    clock.start();
    floorWalk(QFile::encodeName(root).toStdString(), ctx, buffer, r, true);
    const double s = clock.nsecsElapsed() / 1e9;
    EVP_MD_CTX_free(ctx);
    if (result)
        *result = r;
    return s;
}

// ---------------------------------------------------------------- engine

// One engine with its own client, as the window holds them.
class EngineRig
{
public:
    EngineRig() : engine(&api)
    {
        QObject::connect(&engine, &SyncEngine::log, [this](const QString &line) {
            lines.append(line);
            if (onLog)
                onLog(line);
        });
        QObject::connect(&engine, &SyncEngine::notification,
                         [this](const QString &title, const QString &message, int) {
                             lastTitle = title;
                             lastSummary = message;
                             if (title == QStringLiteral("Senkronizasyon tamamlandı")
                                 || title == QStringLiteral("Senkronizasyon hatalarla tamamlandı"))
                                 ++completed;
                         });
    }

    bool login(const QString &url, const QString &email)
    {
        api.setBaseUrl(url);
        if (!api.login(email, password, deviceName)) {
            progress(QStringLiteral("login failed: ") + api.lastError());
            return false;
        }
        return true;
    }

    // start() runs the first pass before it returns
    double start(const QString &folder, int intervalMinutes = 20160)
    {
        engine.configure(folder, intervalMinutes);
        QElapsedTimer clock;
        clock.start();
        engine.start();
        return clock.nsecsElapsed() / 1e9;
    }

    double pass()
    {
        const int before = completed;
        QElapsedTimer clock;
        clock.start();
        QMetaObject::invokeMethod(&engine, "syncNow", Qt::DirectConnection);
        const double s = clock.nsecsElapsed() / 1e9;
        if (completed == before)
            progress(QStringLiteral("pass did not complete: ") + lines.value(lines.size() - 1));
        return s;
    }

    bool summaryIs(const QString &expected) const
    {
        if (lastSummary == expected)
            return true;
        progress(QStringLiteral("unexpected summary \"%1\" (wanted \"%2\"); last log: %3")
                     .arg(lastSummary, expected, lines.value(lines.size() - 1)));
        return false;
    }

    ApiClient api;
    SyncEngine engine;
    QStringList lines;
    QString lastTitle;
    QString lastSummary;
    int completed = 0;
    std::function<void(const QString &)> onLog;
};

QString summary(int uploaded, int downloaded)
{
    return QStringLiteral("Yüklenen: %1, indirilen: %2, portal silme arşivi: 0, çöpe taşındı: 0, yerel silindi: 0, hata: 0")
        .arg(uploaded)
        .arg(downloaded);
}

// ---------------------------------------------------------------- rclone

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    return port;
}

class RcloneWebdav
{
public:
    static bool available() { return !QStandardPaths::findExecutable(QStringLiteral("rclone")).isEmpty(); }

    bool start(const QString &servedDir)
    {
        QDir().mkpath(servedDir);
        port = freePort();
        server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        server.start(QStringLiteral("rclone"),
                     {QStringLiteral("serve"), QStringLiteral("webdav"), servedDir, QStringLiteral("--addr"),
                      QStringLiteral("127.0.0.1:%1").arg(port), QStringLiteral("--cert"), TestTls::certificatePath(),
                      QStringLiteral("--key"), TestTls::keyPath(), QStringLiteral("--log-level"), QStringLiteral("ERROR"),
                      QStringLiteral("--config"), QStringLiteral("/dev/null")});
        if (!server.waitForStarted(10000))
            return false;
        return waitFor(
            [this] {
                QTcpSocket socket;
                socket.connectToHost(QHostAddress::LocalHost, port);
                return socket.waitForConnected(200);
            },
            15000);
    }

    ~RcloneWebdav()
    {
        if (server.state() != QProcess::NotRunning) {
            server.terminate();
            if (!server.waitForFinished(5000))
                server.kill();
            server.waitForFinished(2000);
        }
    }

    // rclone copy from -> to, one transfer at a time, against this server; a
    // remote side is written ":webdav:" plus its path.
    double copy(const QString &from, const QString &to)
    {
        QProcess client;
        client.setProcessChannelMode(QProcess::ForwardedChannels);
        QElapsedTimer clock;
        clock.start();
        client.start(QStringLiteral("rclone"),
                     {QStringLiteral("copy"), from, to, QStringLiteral("--transfers"), QStringLiteral("1"),
                      QStringLiteral("--webdav-url"), QStringLiteral("https://127.0.0.1:%1").arg(port),
                      QStringLiteral("--ca-cert"), TestTls::caCertificatePath(), QStringLiteral("--config"),
                      QStringLiteral("/dev/null"), QStringLiteral("--log-level"), QStringLiteral("ERROR")});
        client.waitForFinished(-1);
        const double s = clock.nsecsElapsed() / 1e9;
        if (client.exitStatus() != QProcess::NormalExit || client.exitCode() != 0) {
            progress(QStringLiteral("rclone copy failed with exit code %1").arg(client.exitCode()));
            return -1;
        }
        return s;
    }

    QProcess server;
    quint16 port = 0;
};

qint64 countFiles(const QString &root)
{
    qint64 n = 0;
    QDirIterator it(root, QDir::Files | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++n;
    }
    return n;
}

// ---------------------------------------------------------------- options

struct Options
{
    QStringList figureNames{QStringLiteral("noop"), QStringLiteral("large"), QStringLiteral("first"),
                            QStringLiteral("download"), QStringLiteral("latency"), QStringLiteral("idle"),
                            QStringLiteral("scaling")};
    int repeat = 3;
    int smallFiles = 10000;
    int smallFolders = 500;
    int largeFiles = 20;
    int largeMiB = 100;
    int syncFiles = 2000;
    int syncFolders = 100;
    QList<int> scaling{1000, 10000, 100000};
    int idleSeconds = 60;
    int latencyRuns = 5;
    bool serverOnDisk = false;

    bool wants(const char *name) const { return figureNames.contains(QLatin1String(name)); }
};

class Bench
{
public:
    Bench(const Options &options, const QString &work, const QString &storage)
        : o(options), work(work), storage(storage)
    {
    }

    bool setUp()
    {
        // Both servers keep their files in `storage`: on tmpfs their fsyncs
        // cost nothing, so the figures compare the clients, not the disks.
        const QByteArray oldTmp = qgetenv("TMPDIR");
        qputenv("TMPDIR", QFile::encodeName(storage));
        server = std::make_unique<ReferenceServer>();
        if (oldTmp.isEmpty())
            qunsetenv("TMPDIR");
        else
            qputenv("TMPDIR", oldTmp);
        if (!server->start()) {
            progress(QStringLiteral("reference server: ") + server->lastError());
            return false;
        }
        progress(QStringLiteral("reference server at ") + server->baseUrl());
        return true;
    }

    QString newUser(const QString &tag)
    {
        const QString email = QStringLiteral("%1-%2@bench.example").arg(tag).arg(++users);
        if (!server->addUser(email, password)) {
            progress(QStringLiteral("addUser: ") + server->lastError());
            return QString();
        }
        return email;
    }

    // Figure 1 and 6: a pass with nothing to do against the bare read-and-hash.
    void noopFigure(const QString &name, const QString &label, int count, qint64 size, int folders)
    {
        progress(QStringLiteral("%1: %2 files of %3 bytes in %4 folders").arg(name).arg(count).arg(size).arg(folders));
        const QString folder = work + QLatin1Char('/') + name;
        QElapsedTimer clock;
        clock.start();
        if (!makeTree(folder, count, size, folders)) {
            progress(QStringLiteral("cannot write the test files"));
            return;
        }
        progress(QStringLiteral("  written in %1 s; first sync").arg(clock.elapsed() / 1000.0));
        const QString email = newUser(name);
        EngineRig rig;
        if (email.isEmpty() || !rig.login(server->baseUrl(), email))
            return;
        const double first = rig.start(folder);
        progress(QStringLiteral("  first sync %1 s").arg(first));
        if (!rig.summaryIs(summary(count, 0)))
            return;

        FloorResult floorFiles;
        floorSeconds(folder, &floorFiles); // warm the page cache and the code
        rig.pass();
        std::vector<double> passes;
        std::vector<double> floors;
        for (int i = 0; i < o.repeat; ++i) {
            floors.push_back(floorSeconds(folder));
            passes.push_back(rig.pass());
            if (!rig.summaryIs(summary(0, 0)))
                return;
        }
        // where a pass spends its time: the pieces it is made of, one by one
        QElapsedTimer piece;
        piece.start();
        const int snapshotItems = rig.api.snapshot().value(QLatin1String("items")).toArray().size();
        const double snapshotS = piece.nsecsElapsed() / 1e9;
        piece.restart();
        const int scanned = rig.engine.scanLocal().size();
        const double scanS = piece.nsecsElapsed() / 1e9;
        piece.restart();
        rig.engine.saveState();
        const double saveS = piece.nsecsElapsed() / 1e9;
        piece.restart();
        rig.engine.rebuildWatchers();
        const double watchS = piece.nsecsElapsed() / 1e9;
        progress(QStringLiteral("  pieces: snapshot %1 s (%2 items), scan %3 s (%4 files), state save %5 s, "
                                "watcher rebuild %6 s")
                     .arg(snapshotS, 0, 'f', 3)
                     .arg(snapshotItems)
                     .arg(scanS, 0, 'f', 3)
                     .arg(scanned)
                     .arg(saveS, 0, 'f', 3)
                     .arg(watchS, 0, 'f', 3));
        if (floorFiles.files != count)
            progress(QStringLiteral("  floor saw %1 files").arg(floorFiles.files));
        Figure f;
        f.name = name;
        f.label = label;
        f.value = median(passes);
        f.unit = QStringLiteral("s");
        f.referenceName = QStringLiteral("read_and_hash");
        f.reference = median(floors);
        f.ratio = f.value / f.reference;
        f.goal = QStringLiteral("ratio <= 1.25");
        f.note = QStringLiteral("%1 us/file, floor %2 us/file")
                     .arg(f.value * 1e6 / count, 0, 'f', 1)
                     .arg(f.reference * 1e6 / count, 0, 'f', 1);
        addFigure(f);
        if (size == 4096)
            noopPerFile[count] = f.value / count;
        QDir(folder).removeRecursively();
    }

    // Figure 2 and 3: first sync up and down, against bare ApiClient loops and rclone.
    void transferFigures(bool up, bool down)
    {
        const int count = o.syncFiles;
        const QString source = work + QStringLiteral("/sync-source");
        progress(QStringLiteral("transfer: %1 files of 8 KiB in %2 folders").arg(count).arg(o.syncFolders));
        if (!makeTree(source, count, 8 * 1024, o.syncFolders))
            return;

        // the pass up
        const QString email = newUser(QStringLiteral("first"));
        auto rig = std::make_unique<EngineRig>();
        if (email.isEmpty() || !rig->login(server->baseUrl(), email))
            return;
        const double passUp = rig->start(source);
        const bool upOk = rig->summaryIs(summary(count, 0));
        rig.reset();

        // bare ApiClient uploads: the same folders and files, nothing else
        double apiUp = 0;
        {
            const QString other = newUser(QStringLiteral("api"));
            ApiClient api;
            api.setBaseUrl(server->baseUrl());
            if (!api.login(other, password, deviceName))
                return;
            QStringList files;
            QDirIterator it(source, {QStringLiteral("*.bin")}, QDir::Files, QDirIterator::Subdirectories);
            while (it.hasNext())
                files.append(it.next());
            files.sort();
            QElapsedTimer clock;
            clock.start();
            QMap<QString, QVariant> folderIds;
            for (const QString &path : std::as_const(files)) {
                const QString dir = QFileInfo(path).dir().dirName();
                if (!folderIds.contains(dir)) {
                    const QJsonObject item =
                        api.createFolder(QVariant(), dir).value(QLatin1String("item")).toObject();
                    folderIds.insert(dir, item.value(QLatin1String("id")).toVariant());
                }
                if (api.uploadFile(folderIds.value(dir), path, QFileInfo(path).fileName(), QVariant()).isEmpty()) {
                    progress(QStringLiteral("bare upload failed: ") + api.lastError());
                    return;
                }
            }
            apiUp = clock.nsecsElapsed() / 1e9;
        }

        // the pass down, into an empty folder of the same account
        double passDown = 0;
        bool downOk = false;
        const QString target = work + QStringLiteral("/sync-target");
        if (down) {
            EngineRig downRig;
            if (!downRig.login(server->baseUrl(), email))
                return;
            passDown = downRig.start(target);
            downOk = downRig.summaryIs(summary(0, count));
        }

        // bare ApiClient downloads: the snapshot and one download per file
        double apiDown = 0;
        if (down) {
            const QString bare = work + QStringLiteral("/sync-bare");
            ApiClient api;
            api.setBaseUrl(server->baseUrl());
            if (!api.login(email, password, deviceName))
                return;
            QElapsedTimer clock;
            clock.start();
            const QJsonArray items = api.snapshot().value(QLatin1String("items")).toArray();
            int n = 0;
            for (const QJsonValue &value : items) {
                const QJsonObject item = value.toObject();
                const QString path = bare + QLatin1Char('/') + item.value(QLatin1String("path")).toString();
                if (item.value(QLatin1String("type")).toString() == QLatin1String("folder")) {
                    QDir().mkpath(path);
                    continue;
                }
                QDir().mkpath(QFileInfo(path).path());
                if (!api.downloadFile(item.value(QLatin1String("id")).toInteger(), path,
                                      item.value(QLatin1String("sha256")).toString())) {
                    progress(QStringLiteral("bare download failed: ") + api.lastError());
                    return;
                }
                ++n;
            }
            apiDown = clock.nsecsElapsed() / 1e9;
            if (n != count)
                progress(QStringLiteral("bare download saw %1 files").arg(n));
        }

        // rclone with one transfer at a time, both ways, over HTTPS on loopback
        double rcloneUp = 0;
        double rcloneDown = 0;
        QString rcloneNote;
        if (!RcloneWebdav::available()) {
            rcloneNote = QStringLiteral("rclone not installed (apt-get install rclone): comparison skipped");
            progress(rcloneNote);
        } else {
            RcloneWebdav webdav;
            const QString served = storage + QStringLiteral("/webdav");
            if (!webdav.start(served)) {
                rcloneNote = QStringLiteral("rclone serve webdav did not start: comparison skipped");
                progress(rcloneNote);
            } else {
                rcloneUp = webdav.copy(source, QStringLiteral(":webdav:/tree"));
                if (countFiles(served) != count)
                    progress(QStringLiteral("rclone upload left %1 files").arg(countFiles(served)));
                if (down) {
                    const QString rcloneTarget = work + QStringLiteral("/rclone-target");
                    QDir().mkpath(rcloneTarget);
                    rcloneDown = webdav.copy(QStringLiteral(":webdav:/tree"), rcloneTarget);
                    if (countFiles(rcloneTarget) != count)
                        progress(QStringLiteral("rclone download left %1 files").arg(countFiles(rcloneTarget)));
                }
            }
        }

        const auto emitRate = [&](const QString &name, const QString &label, double passS, double apiS,
                                  double rcloneS, bool ok) {
            if (!ok)
                progress(name + QStringLiteral(": the pass did not do what it should; figure marked"));
            const double rate = count / passS;
            Figure f;
            f.name = name + QStringLiteral("_vs_rclone");
            f.label = label + QStringLiteral(" vs rclone");
            f.value = rate;
            f.unit = QStringLiteral("files/s");
            if (rcloneS > 0) {
                f.referenceName = QStringLiteral("rclone_webdav_transfers1");
                f.reference = count / rcloneS;
                f.ratio = f.value / f.reference;
            } else {
                f.note = rcloneNote;
            }
            f.goal = QStringLiteral("ratio >= 1.0");
            if (!ok)
                f.note = QStringLiteral("PASS RESULT WRONG");
            addFigure(f);
            Figure g;
            g.name = name + QStringLiteral("_vs_apiclient");
            g.label = label + QStringLiteral(" vs bare ApiClient");
            g.value = rate;
            g.unit = QStringLiteral("files/s");
            g.referenceName = QStringLiteral("apiclient_loop");
            g.reference = count / apiS;
            g.ratio = g.value / g.reference;
            g.goal = QStringLiteral("ratio near 1.0 (floor)");
            addFigure(g);
        };
        if (up)
            emitRate(QStringLiteral("first_sync"), QStringLiteral("first sync up"), passUp, apiUp, rcloneUp, upOk);
        if (down)
            emitRate(QStringLiteral("download"), QStringLiteral("download into empty folder"), passDown, apiDown,
                     rcloneDown, downOk);
        syncEmail = email;
        syncFolder = source;
    }

    // Figure 4: an editor's save (write beside, rename over) on an idle engine
    // until its upload has finished.
    void latencyFigure()
    {
        progress(QStringLiteral("latency"));
        QString folder = syncFolder;
        QString email = syncEmail;
        if (folder.isEmpty()) {
            folder = work + QStringLiteral("/latency");
            if (!makeTree(folder, o.syncFiles, 8 * 1024, o.syncFolders))
                return;
            email = newUser(QStringLiteral("latency"));
        }
        EngineRig rig;
        if (!rig.login(server->baseUrl(), email))
            return;
        rig.start(folder);
        const QString relative = QStringLiteral("d0000/f000000.bin");
        QElapsedTimer clock;
        bool uploaded = false;
        double latency = 0;
        rig.onLog = [&](const QString &line) {
            if (line == QStringLiteral("Yüklendi: ") + relative && !uploaded) {
                latency = clock.nsecsElapsed() / 1e9;
                uploaded = true;
            }
        };
        const auto settle = [&rig] {
            // quiet: no pass for 2.5 s (a pass's own writes may ask for one more)
            int seen = rig.completed;
            QElapsedTimer quiet;
            quiet.start();
            while (quiet.elapsed() < 2500) {
                pause(100);
                if (rig.completed != seen) {
                    seen = rig.completed;
                    quiet.restart();
                }
            }
        };
        settle();
        std::vector<double> values;
        for (int i = 0; i < o.latencyRuns; ++i) {
            const QString target = folder + QLatin1Char('/') + relative;
            const QString beside = target + QStringLiteral(".tmp%1").arg(i);
            {
                QFile file(beside);
                file.open(QIODevice::WriteOnly);
                file.write(QByteArray(8 * 1024, char('a' + i)));
            }
            uploaded = false;
            clock.start();
            ::rename(QFile::encodeName(beside).constData(), QFile::encodeName(target).constData());
            if (!waitFor([&] { return uploaded; }, 30000)) {
                progress(QStringLiteral("no upload within 30 s"));
                return;
            }
            values.push_back(latency);
            settle();
        }
        Figure f;
        f.name = QStringLiteral("change_latency");
        f.label = QStringLiteral("change latency (save to upload done)");
        f.value = median(values);
        f.unit = QStringLiteral("s");
        f.referenceName = QStringLiteral("debounce");
        f.reference = 1.8;
        f.ratio = f.value / f.reference;
        f.goal = QStringLiteral("value < 2.5 s");
        f.note = QStringLiteral("median of %1, max %2 s")
                     .arg(values.size())
                     .arg(*std::max_element(values.begin(), values.end()), 0, 'f', 3);
        addFigure(f);
    }

    // Figure 5: the idle cost of a running engine in a process of its own, and
    // of the real window executable (no account connected).
    void idleFigure(const QString &self)
    {
        QString folder = syncFolder;
        QString email = syncEmail;
        if (folder.isEmpty()) {
            folder = work + QStringLiteral("/idle");
            if (!makeTree(folder, o.syncFiles, 8 * 1024, o.syncFolders))
                return;
            email = newUser(QStringLiteral("idle"));
        }
        progress(QStringLiteral("idle: %1 s").arg(o.idleSeconds));
        QProcess engine;
        engine.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        engine.start(self, {QStringLiteral("--idle-child"), server->baseUrl(), email, folder,
                            TestTls::caCertificatePath()});
        if (!engine.waitForStarted() || !waitFor([&] { return engine.canReadLine(); }, 600000)) {
            progress(QStringLiteral("idle engine did not come up"));
            return;
        }
        engine.readLine();

        // the window: its own settings folder, so the user's settings stay untouched
        QProcess window;
        const QString app = QStringLiteral(KUMAT_APP_DEFAULT);
        const bool haveWindow = QFileInfo(app).isExecutable();
        if (haveWindow) {
            const QString home = work + QStringLiteral("/window-home");
            QDir().mkpath(home + QStringLiteral("/.config"));
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
            env.insert(QStringLiteral("HOME"), home);
            env.insert(QStringLiteral("XDG_CONFIG_HOME"), home + QStringLiteral("/.config"));
            env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
            window.setProcessEnvironment(env);
            window.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            window.setStandardOutputFile(QProcess::nullDevice());
            window.start(app, {});
            window.waitForStarted();
        }
        pause(5000); // let start-up work (the window's update check) settle
        const qint64 engineStart = cpuTicks(engine.processId());
        const qint64 windowStart = haveWindow ? cpuTicks(window.processId()) : 0;
        pause(o.idleSeconds * 1000);
        const qint64 engineTicks = cpuTicks(engine.processId()) - engineStart;
        const qint64 windowTicks = haveWindow ? cpuTicks(window.processId()) - windowStart : 0;
        const double hz = double(sysconf(_SC_CLK_TCK));
        const qint64 engineRss = rssKiB(engine.processId());
        const qint64 windowRss = haveWindow ? rssKiB(window.processId()) : 0;
        const auto end = [](QProcess &p) {
            if (p.state() == QProcess::NotRunning)
                return;
            p.terminate();
            if (!p.waitForFinished(5000))
                p.kill();
            p.waitForFinished(2000);
        };
        end(engine);
        end(window);

        const auto cpuFigure = [&](const QString &name, const QString &label, qint64 ticks, const QString &note) {
            Figure f;
            f.name = name;
            f.label = label;
            f.value = 100.0 * (ticks / hz) / o.idleSeconds;
            f.unit = QStringLiteral("%core");
            f.referenceName = QStringLiteral("goal_0.5%");
            f.reference = 0.5;
            f.ratio = f.value / f.reference;
            f.goal = QStringLiteral("value < 0.5 %");
            f.note = note;
            addFigure(f);
        };
        const auto rssFigure = [&](const QString &name, const QString &label, qint64 kib) {
            Figure f;
            f.name = name;
            f.label = label;
            f.value = kib / 1024.0;
            f.unit = QStringLiteral("MiB");
            f.goal = QStringLiteral("reported");
            addFigure(f);
        };
        cpuFigure(QStringLiteral("idle_cpu_engine"), QStringLiteral("idle CPU, running engine"), engineTicks,
                  QStringLiteral("%1 files watched, 1-minute interval (the form's default) so one pass falls in the window")
                      .arg(o.syncFiles));
        rssFigure(QStringLiteral("rss_engine"), QStringLiteral("RSS, running engine"), engineRss);
        if (haveWindow) {
            cpuFigure(QStringLiteral("idle_cpu_window"), QStringLiteral("idle CPU, window (not connected)"),
                      windowTicks, QStringLiteral("zelnor-kumat-sync, offscreen, no account"));
            rssFigure(QStringLiteral("rss_window"), QStringLiteral("RSS, window (not connected)"), windowRss);
        }
    }

    static qint64 cpuTicks(qint64 pid)
    {
        QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!file.open(QIODevice::ReadOnly))
            return 0;
        const QByteArray text = file.readAll();
        // fields after the command name in parentheses; utime and stime are 14 and 15
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        return fields.size() > 12 ? fields.at(11).toLongLong() + fields.at(12).toLongLong() : 0;
    }

    static qint64 rssKiB(qint64 pid)
    {
        QFile file(QStringLiteral("/proc/%1/status").arg(pid));
        if (!file.open(QIODevice::ReadOnly))
            return 0;
        const QList<QByteArray> lines = file.readAll().split('\n');
        for (const QByteArray &line : lines) {
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').value(0).toLongLong();
        }
        return 0;
    }

    void scalingFigures()
    {
        for (int count : o.scaling) {
            if (!noopPerFile.contains(count))
                noopFigure(QStringLiteral("noop_%1").arg(count), QStringLiteral("no-op pass, %1 x 4 KiB").arg(count),
                           count, 4096, std::max(1, count / 20));
        }
        if (noopPerFile.size() >= 2) {
            const auto first = noopPerFile.constBegin();
            const auto last = std::prev(noopPerFile.constEnd());
            Figure f;
            f.name = QStringLiteral("scaling_per_file_%1_vs_%2").arg(last.key()).arg(first.key());
            f.label = QStringLiteral("time per file at %1 vs at %2 files").arg(last.key()).arg(first.key());
            f.value = last.value() * 1e6;
            f.unit = QStringLiteral("us/file");
            f.referenceName = QStringLiteral("us_per_file_at_%1").arg(first.key());
            f.reference = first.value() * 1e6;
            f.ratio = f.value / f.reference;
            f.goal = QStringLiteral("ratio near 1.0 (linear)");
            addFigure(f);
        }
    }

    const Options &o;
    QString work;
    QString storage;
    std::unique_ptr<ReferenceServer> server;
    int users = 0;
    QMap<int, double> noopPerFile;
    QString syncEmail;
    QString syncFolder;
};

int idleChild(const QStringList &args)
{
    // args: url email folder ca
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setCaCertificates(tls.caCertificates() + QSslCertificate::fromPath(args.value(3)));
    QSslConfiguration::setDefaultConfiguration(tls);
    EngineRig rig;
    if (!rig.login(args.value(0), args.value(1)))
        return 1;
    // the form's default interval
    rig.start(args.value(2), 1);
    std::fprintf(stdout, "ready\n");
    std::fflush(stdout);
    return QCoreApplication::exec();
}

void printTable()
{
    out(QString());
    out(QStringLiteral("| Figure | Value | Reference | Ratio | Goal | Note |"));
    out(QStringLiteral("|---|---|---|---|---|---|"));
    for (const Figure &f : figures) {
        const QString value = QStringLiteral("%1 %2").arg(f.value, 0, 'f', f.unit == QLatin1String("files/s") ? 0 : 3).arg(f.unit);
        const QString reference = f.referenceName.isEmpty()
            ? QStringLiteral("—")
            : QStringLiteral("%1 = %2").arg(f.referenceName).arg(f.reference, 0, 'f', f.unit == QLatin1String("files/s") ? 0 : 3);
        const QString ratio = f.ratio > 0 ? QString::number(f.ratio, 'f', 2) : QStringLiteral("—");
        out(QStringLiteral("| %1 | %2 | %3 | %4 | %5 | %6 |").arg(f.label, value, reference, ratio, f.goal, f.note));
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments();
    const QString self = args.takeFirst();
    if (args.value(0) == QLatin1String("--idle-child"))
        return idleChild(args.mid(1));

    Options o;
    for (int i = 0; i < args.size(); ++i) {
        const QString a = args.at(i);
        const QString v = args.value(i + 1);
        const auto number = [&] { ++i; return v.toInt(); };
        if (a == QLatin1String("--figures")) {
            o.figureNames = v.split(QLatin1Char(','), Qt::SkipEmptyParts);
            ++i;
        } else if (a == QLatin1String("--quick")) {
            o.repeat = 2;
            o.smallFiles = 2000;
            o.smallFolders = 100;
            o.largeFiles = 4;
            o.largeMiB = 25;
            o.syncFiles = 500;
            o.syncFolders = 25;
            o.scaling = {1000, 5000};
            o.idleSeconds = 10;
            o.latencyRuns = 3;
        } else if (a == QLatin1String("--server-disk")) {
            o.serverOnDisk = true;
        } else if (a == QLatin1String("--repeat")) {
            o.repeat = std::max(1, number());
        } else if (a == QLatin1String("--small")) {
            o.smallFiles = number();
            o.smallFolders = std::max(1, o.smallFiles / 20);
        } else if (a == QLatin1String("--large")) {
            o.largeFiles = number();
        } else if (a == QLatin1String("--large-mib")) {
            o.largeMiB = number();
        } else if (a == QLatin1String("--sync-files")) {
            o.syncFiles = number();
            o.syncFolders = std::max(1, o.syncFiles / 20);
        } else if (a == QLatin1String("--scaling")) {
            o.scaling.clear();
            for (const QString &n : v.split(QLatin1Char(','), Qt::SkipEmptyParts))
                o.scaling.append(n.toInt());
            ++i;
        } else if (a == QLatin1String("--idle-seconds")) {
            o.idleSeconds = std::max(1, number());
        } else if (a == QLatin1String("--latency-runs")) {
            o.latencyRuns = std::max(1, number());
        } else {
            std::fprintf(stderr,
                         "usage: bench_pass [--figures noop,large,first,download,latency,idle,scaling] [--quick]\n"
                         "                  [--repeat N] [--small N] [--large N] [--large-mib M] [--sync-files N]\n"
                         "                  [--scaling 1000,10000,100000] [--idle-seconds S] [--latency-runs N]\n"
                         "                  [--server-disk]  (server stores on the work disk instead of /dev/shm)\n");
            return 2;
        }
    }

    if (qEnvironmentVariableIsEmpty("KUMAT_SERVER_BIN"))
        qputenv("KUMAT_SERVER_BIN", QByteArray(KUMAT_SERVER_DEFAULT));
    if (!TestTls::ensure()) {
        progress(QStringLiteral("cannot make the test certificate (openssl missing?)"));
        return 1;
    }
    if (!RcloneWebdav::available())
        progress(QStringLiteral("rclone is not installed: the rclone comparisons are skipped "
                                "(install with: apt-get install rclone)"));

    QTemporaryDir work(QDir::tempPath() + QStringLiteral("/bench_pass-XXXXXX"));
    const QString shm = QStringLiteral("/dev/shm");
    QTemporaryDir storage((o.serverOnDisk || !QFileInfo(shm).isWritable() ? QDir::tempPath() : shm)
                          + QStringLiteral("/bench_pass-store-XXXXXX"));
    progress(QStringLiteral("work folder %1, server storage %2").arg(work.path(), storage.path()));
    Bench bench(o, work.path(), storage.path());
    if (!bench.setUp())
        return 1;

    QElapsedTimer total;
    total.start();
    if (o.wants("noop"))
        bench.noopFigure(QStringLiteral("noop_%1").arg(o.smallFiles),
                         QStringLiteral("no-op pass, %1 x 4 KiB in %2 folders").arg(o.smallFiles).arg(o.smallFolders),
                         o.smallFiles, 4096, o.smallFolders);
    if (o.wants("large"))
        bench.noopFigure(QStringLiteral("noop_large"),
                         QStringLiteral("no-op pass, %1 x %2 MiB").arg(o.largeFiles).arg(o.largeMiB), o.largeFiles,
                         qint64(o.largeMiB) * 1024 * 1024, 1);
    if (o.wants("first") || o.wants("download"))
        bench.transferFigures(o.wants("first"), o.wants("download"));
    if (o.wants("latency"))
        bench.latencyFigure();
    if (o.wants("idle"))
        bench.idleFigure(self);
    if (o.wants("scaling"))
        bench.scalingFigures();

    printTable();
    out(QStringLiteral("\nmachine: %1 cores, %2; run took %3 s")
            .arg(QThread::idealThreadCount())
            .arg(QString::fromLatin1([] {
                QFile cpu(QStringLiteral("/proc/cpuinfo"));
                cpu.open(QIODevice::ReadOnly);
                // /proc files have no size: read to the end, then split
                const QList<QByteArray> lines = cpu.readAll().split('\n');
                for (const QByteArray &line : lines) {
                    if (line.startsWith("model name"))
                        return line.mid(line.indexOf(':') + 1).trimmed();
                }
                return QByteArray("unknown");
            }()))
            .arg(total.elapsed() / 1000));
    return 0;
}
