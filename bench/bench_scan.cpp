// How close the engine's hashing and scan come to the machine's limits. Each
// figure is a ratio against a reference measured in the same run, on the same
// files, with a warm page cache; every timing is the best of several rounds.
#include "apiclient.h"
#include "syncengine.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <openssl/evp.h>

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>

#include <cstdio>
#include <functional>
#include <utility>
#include <vector>

namespace {

constexpr int rounds = 7;

double seconds(const std::function<void()> &run)
{
    QElapsedTimer timer;
    timer.start();
    run();
    return timer.nsecsElapsed() / 1e9;
}

// The best of several rounds, the two sides taking turns, so that other load
// on the machine falls on both alike.
std::pair<double, double> bestOfInterleaved(const std::function<void()> &reference,
                                            const std::function<void()> &measured)
{
    double bestReference = 1e300;
    double bestMeasured = 1e300;
    for (int i = 0; i < rounds; ++i) {
        bestReference = qMin(bestReference, seconds(reference));
        bestMeasured = qMin(bestMeasured, seconds(measured));
    }
    return {bestReference, bestMeasured};
}

bool writeFile(const QString &path, qint64 size, QByteArray &pattern)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    for (qint64 done = 0; done < size;) {
        const qint64 n = qMin<qint64>(pattern.size(), size - done);
        // vary the content so no two files or chunks are alike
        pattern[int(done % pattern.size())] = char(QRandomGenerator::global()->generate());
        if (file.write(pattern.constData(), n) != n)
            return false;
        done += n;
    }
    return true;
}

// The floor: walk the tree with readdir, read every file with read(2) into one
// buffer and hash it with libcrypto, nothing else.
struct BareScan
{
    std::vector<char> buffer = std::vector<char>(1024 * 1024);
    EVP_MD_CTX *ctx = EVP_MD_CTX_new();
    int files = 0;
    ~BareScan() { EVP_MD_CTX_free(ctx); }

    void hash(const std::string &path)
    {
        const int fd = ::open(path.c_str(), O_RDONLY);
        if (fd < 0)
            return;
        EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
        ssize_t n;
        while ((n = ::read(fd, buffer.data(), buffer.size())) > 0)
            EVP_DigestUpdate(ctx, buffer.data(), size_t(n));
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(ctx, digest, &length);
        ::close(fd);
        ++files;
    }

    void walk(const std::string &dirPath)
    {
        DIR *dir = ::opendir(dirPath.c_str());
        if (!dir)
            return;
        while (dirent *entry = ::readdir(dir)) {
            if (entry->d_name[0] == '.')
                continue;
            const std::string path = dirPath + '/' + entry->d_name;
            if (entry->d_type == DT_DIR)
                walk(path);
            else if (entry->d_type == DT_REG)
                hash(path);
        }
        ::closedir(dir);
    }
};

void report(const QByteArray &key, const QString &text, double ratio, const char *goal)
{
    QTextStream out(stdout);
    out << text << Qt::endl;
    out << "BENCH " << key.constData() << " ratio=" << QString::number(ratio, 'f', 3) << " goal" << goal << Qt::endl;
}

// Runs `run` with this thread, and every thread it starts, on one core.
void onOneCore(const std::function<void()> &run)
{
    cpu_set_t all;
    CPU_ZERO(&all);
    if (::sched_getaffinity(0, sizeof all, &all) != 0) {
        run();
        return;
    }
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &all)) {
            CPU_SET(cpu, &one);
            break;
        }
    }
    ::sched_setaffinity(0, sizeof one, &one);
    run();
    ::sched_setaffinity(0, sizeof all, &all);
}

// The scan against the floor, in throughput: on every core the scan has (the
// floor reads on one, as the design's scan did), and with both on one core.
bool scanRatio(SyncEngine &engine, const QString &folder, int expectedFiles, const char *key, const QString &label)
{
    engine.configure(folder, 1);
    int listed = 0;
    // warm the cache, and check that both sides see every file
    listed = int(engine.scanLocal().size());
    BareScan warm;
    warm.walk(folder.toStdString());
    if (listed != expectedFiles || warm.files != expectedFiles) {
        std::fprintf(stderr, "%s: expected %d files, scan saw %d, floor saw %d\n", key, expectedFiles, listed,
                     warm.files);
        return false;
    }
    const auto floorRun = [&] {
        BareScan bare;
        bare.walk(folder.toStdString());
    };
    const auto scanRun = [&] { listed = int(engine.scanLocal().size()); };

    const auto [floor, scan] = bestOfInterleaved(floorRun, scanRun);
    const double ratio = floor / scan;
    report(QByteArray(key) + "_cores",
           QStringLiteral("scanLocal over %1 on %2 cores: %3 s, bare read-and-hash on one core %4 s, "
                          "speed ratio %5 (goal at least 1.7 on 2 cores)")
               .arg(label)
               .arg(QThread::idealThreadCount())
               .arg(scan, 0, 'f', 4)
               .arg(floor, 0, 'f', 4)
               .arg(ratio, 0, 'f', 3),
           ratio, ">=1.7");
    std::pair<double, double> single;
    onOneCore([&] { single = bestOfInterleaved(floorRun, scanRun); });
    const double singleRatio = single.first / single.second;
    report(QByteArray(key) + "_one_core",
           QStringLiteral("scanLocal over %1, both on one core: %2 s, bare read-and-hash %3 s, "
                          "speed ratio %4 (goal at least 1.0)")
               .arg(label)
               .arg(single.second, 0, 'f', 4)
               .arg(single.first, 0, 'f', 4)
               .arg(singleRatio, 0, 'f', 3),
           singleRatio, ">=1.0");
    return listed == expectedFiles;
}

// While a large folder is scanned, how long the event loop goes without a
// turn, and how long a stop takes to end the scan.
bool responsiveness(SyncEngine &engine, const QString &folder, qint64 bytes)
{
    engine.configure(folder, 1);
    engine.scanLocal(); // warm the cache: the disk is not what is measured
    QElapsedTimer clock;
    qint64 last = 0;
    qint64 longest = 0;
    qint64 turns = 0;
    QTimer tick;
    tick.setInterval(0);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        longest = qMax(longest, now - last);
        last = now;
        ++turns;
    });
    tick.start();
    clock.start();
    const double scanS = seconds([&] { engine.scanLocal(); });
    longest = qMax(longest, clock.nsecsElapsed() - last);
    tick.stop();
    report("event_loop_gap_during_scan",
           QStringLiteral("longest event-loop gap while %1 GiB are scanned in %2 s: %3 ms (%4 turns; goal below "
                          "100 ms)")
               .arg(bytes / double(1 << 30), 0, 'f', 1)
               .arg(scanS, 0, 'f', 2)
               .arg(longest / 1e6, 0, 'f', 2)
               .arg(turns),
           longest / 1e6, "<100ms");

    std::vector<double> delays;
    for (int i = 0; i < rounds; ++i) {
        qint64 stoppedAt = -1;
        QTimer::singleShot(300 + 50 * i, [&] {
            stoppedAt = clock.nsecsElapsed();
            engine.stop();
        });
        clock.restart();
        SyncEngine::ScanGaps gaps;
        engine.scanLocal(nullptr, &gaps);
        const qint64 endedAt = clock.nsecsElapsed();
        if (!gaps.stopped || stoppedAt < 0) {
            std::fprintf(stderr, "the stop came after the scan had ended\n");
            return false;
        }
        delays.push_back((endedAt - stoppedAt) / 1e6);
    }
    std::sort(delays.begin(), delays.end());
    report("stop_delay_during_scan",
           QStringLiteral("from stop() to the end of the scan, %1 stops: at most %2 ms, median %3 ms (goal at most "
                          "200 ms)")
               .arg(delays.size())
               .arg(delays.back(), 0, 'f', 2)
               .arg(delays[delays.size() / 2], 0, 'f', 2),
           delays.back(), "<=200ms");
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir temp;
    if (!temp.isValid()) {
        std::fprintf(stderr, "no temporary folder\n");
        return 1;
    }
    // bench_scan [GiB of the large folder, 4] [parts: hash,small,large,big]
    const QStringList args = app.arguments();
    const QStringList parts = args.size() > 2 ? args.at(2).split(',')
                                              : QStringList{"hash", "small", "large", "big"};
    ApiClient api;
    SyncEngine engine(&api);
    QByteArray pattern(1024 * 1024, Qt::Uninitialized);
    for (char &c : pattern)
        c = char(QRandomGenerator::global()->generate());

    // hashFile on one 1 GiB file against the openssl command line
    if (parts.contains("hash")) {
        const QString big = temp.filePath("buyuk.bin");
        if (!writeFile(big, 1024LL * 1024 * 1024, pattern)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(big));
            return 1;
        }
        QString opensslDigest;
        auto runOpenssl = [&] {
            QProcess openssl;
            openssl.start(QStringLiteral("openssl"), {QStringLiteral("dgst"), QStringLiteral("-sha256"), big});
            openssl.waitForFinished(-1);
            opensslDigest = QString::fromLatin1(openssl.readAllStandardOutput()).trimmed().section(' ', -1);
        };
        QString ours;
        auto runHashFile = [&] { ours = engine.hashFile(big); };
        runOpenssl(); // warm the cache
        const auto [reference, measured] = bestOfInterleaved(runOpenssl, runHashFile);
        if (ours != opensslDigest) {
            std::fprintf(stderr, "digests differ: %s vs %s\n", qPrintable(ours), qPrintable(opensslDigest));
            return 1;
        }
        const double ratio = reference / measured;
        report("hashfile_1gib_vs_openssl",
               QStringLiteral("hashFile on 1 GiB: %1 s (%2 MB/s), openssl dgst -sha256 %3 s (%4 MB/s), "
                              "speed ratio %5 (goal at least 0.9)")
                   .arg(measured, 0, 'f', 3)
                   .arg(1024.0 * 1024 * 1024 / measured / 1e6, 0, 'f', 0)
                   .arg(reference, 0, 'f', 3)
                   .arg(1024.0 * 1024 * 1024 / reference / 1e6, 0, 'f', 0)
                   .arg(ratio, 0, 'f', 3),
               ratio, ">=0.9");
        QFile::remove(big);
    }

    // many small files: 100 folders of 100 files of 4 KiB
    if (parts.contains("small")) {
        const QString folder = temp.filePath("kucuk");
        for (int d = 0; d < 100; ++d) {
            const QString dir = QStringLiteral("%1/klasor-%2").arg(folder).arg(d);
            QDir().mkpath(dir);
            for (int f = 0; f < 100; ++f) {
                if (!writeFile(QStringLiteral("%1/dosya-%2.txt").arg(dir).arg(f), 4096, pattern))
                    return 1;
            }
        }
        if (!scanRatio(engine, folder, 10000, "scan_10000x4kib_vs_bare", QStringLiteral("10,000 files of 4 KiB")))
            return 1;
        QDir(folder).removeRecursively();
    }

    // few large files: 100 files of 10 MiB
    if (parts.contains("large")) {
        const QString folder = temp.filePath("buyuk");
        QDir().mkpath(folder);
        for (int f = 0; f < 100; ++f) {
            if (!writeFile(QStringLiteral("%1/dosya-%2.bin").arg(folder).arg(f), 10LL * 1024 * 1024, pattern))
                return 1;
        }
        if (!scanRatio(engine, folder, 100, "scan_100x10mib_vs_bare", QStringLiteral("100 files of 10 MiB")))
            return 1;
        QDir(folder).removeRecursively();
    }

    // a large folder: 64 files of 64 MiB (4 GiB), or as many GiB as asked
    if (parts.contains("big")) {
        const qint64 gib = argc > 1 ? QByteArray(argv[1]).toLongLong() : 4;
        const QString folder = temp.filePath("iri");
        QDir().mkpath(folder);
        const int count = int(gib * 16);
        for (int f = 0; f < count; ++f) {
            if (!writeFile(QStringLiteral("%1/dosya-%2.bin").arg(folder).arg(f), 64LL * 1024 * 1024, pattern))
                return 1;
        }
        const bool measured = responsiveness(engine, folder, gib << 30);
        QDir(folder).removeRecursively();
        if (!measured)
            return 1;
    }
    return 0;
}
