// Transfer figures of the server client against the reference server on loopback:
//   - unthrottled upload and download as a ratio to curl moving the same bytes
//     to the same server in the same run (goal: at least 0.8);
//   - throttled upload and download at 100 and 1024 KiB/s: the average rate over
//     at least ten seconds as a ratio to the limit (goal: 0.95 to 1.05);
//   - both also against a bare QNetworkAccessManager (no digest, no disk), the
//     ceiling of Qt's own network stack;
//   - the client's peak resident memory above its idle size during a large
//     upload and a large download (goal: under 64 MiB).
// Usage: bench_transfer [--size-mib N] [--memory-mib N] [--throttle-seconds S]
//                       [--repeat N] [--work DIR] [--only memory,throughput,download,throttled]
// ("download" is the unthrottled download part of "throughput" alone.)
// Every figure is printed as a readable line and as one "BENCH name=..." line.

#include "apiclient.h"
#include "referenceserver.h"
#include "filereader.h"
#include "testtls.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHttpMultiPart>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QEventLoop>
#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

namespace {

struct Options
{
    qint64 sizeMiB = 256;
    qint64 memoryMiB = 1024;
    double throttleSeconds = 10.5;
    int repeat = 3;
    QString work;
    QStringList only{QStringLiteral("memory"), QStringLiteral("throughput"), QStringLiteral("throttled")};
};

void say(const QString &line)
{
    std::fprintf(stdout, "%s\n", qPrintable(line));
    std::fflush(stdout);
}

void figure(const QString &name, double value, const QString &unit, double ratio, const QString &goal,
            const QString &reference = QString(), double referenceValue = 0)
{
    QString line = QStringLiteral("BENCH name=%1 value=%2 unit=%3").arg(name).arg(value, 0, 'f', 3).arg(unit);
    if (!reference.isEmpty())
        line += QStringLiteral(" reference=%1 reference_value=%2").arg(reference).arg(referenceValue, 0, 'f', 3);
    if (ratio >= 0)
        line += QStringLiteral(" ratio=%1").arg(ratio, 0, 'f', 3);
    line += QStringLiteral(" goal=\"%1\"").arg(goal);
    say(line);
}

// kB from /proc/self/status
qint64 statusKiB(const char *key)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith(key))
            return line.mid(qstrlen(key)).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Processor seconds (user and system) of this process, all its threads, and of
// its children that have been waited for; negative where not known. On a
// machine whose cores are all busy the transfer rates follow these.
struct CpuSeconds
{
    double self = -1;
    double children = -1;
};

CpuSeconds cpuNow()
{
    CpuSeconds now;
#ifdef Q_OS_UNIX
    const auto seconds = [](const rusage &u) {
        return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    };
    rusage u;
    if (getrusage(RUSAGE_SELF, &u) == 0)
        now.self = seconds(u);
    if (getrusage(RUSAGE_CHILDREN, &u) == 0)
        now.children = seconds(u);
#endif
    return now;
}

// Starts a fresh high-water mark of the resident set.
bool resetPeak()
{
    QFile f(QStringLiteral("/proc/self/clear_refs"));
    return f.open(QIODevice::WriteOnly) && f.write("5") == 1;
}

bool writeRandomFile(const QString &path, qint64 bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    QByteArray block(1 << 20, '\0');
    quint64 x = 0x9E3779B97F4A7C15ULL;
    for (qint64 written = 0; written < bytes;) {
        for (int i = 0; i < block.size(); i += 8) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            memcpy(block.data() + i, &x, 8);
        }
        const qint64 n = qMin<qint64>(block.size(), bytes - written);
        if (f.write(block.constData(), n) != n)
            return false;
        written += n;
    }
    return true;
}

QString fileDigest(const QString &path)
{
    return readFileContent(path).sha256;
}

class Bench
{
public:
    explicit Bench(const Options &options) : options(options) {}

    int run();

private:
    bool setUp();
    // seconds, or a negative value on failure
    double clientUpload(const QString &path, const QString &name, QJsonObject *item = nullptr);
    double clientDownload(qint64 id, const QString &target, const QString &digest);
    double curlUpload(const QString &path, const QString &name);
    // Qt's own floor: a bare QNetworkAccessManager moving the same bytes
    double bareUpload(const QString &path, const QString &name);
    double bareDownload(qint64 id);
    double curlDownload(qint64 id, const QString &target);
    bool curl(const QStringList &arguments);
    QString newName(const QString &prefix) { return QStringLiteral("%1-%2.bin").arg(prefix).arg(++counter); }

    // downloadOnly: the unthrottled download figures alone
    void throughput(bool downloadOnly);
    void throttled();
    void memory();

    Options options;
    ReferenceServer server;
    ApiClient client;
    QString dir;
    QString email = QStringLiteral("bench@example.com");
    int counter = 0;
    int failures = 0;
};

bool Bench::setUp()
{
    if (!TestTls::ensure()) {
        say(QStringLiteral("cannot make the loopback certificate"));
        return false;
    }
    if (!server.start() || !server.addUser(email, QStringLiteral("bench-parola"))) {
        say(QStringLiteral("reference server: ") + server.lastError());
        return false;
    }
    client.setBaseUrl(server.baseUrl());
    if (!client.login(email, QStringLiteral("bench-parola"), QStringLiteral("bench"))) {
        say(QStringLiteral("login: ") + client.lastError());
        return false;
    }
    return true;
}

double Bench::clientUpload(const QString &path, const QString &name, QJsonObject *item)
{
    QElapsedTimer clock;
    clock.start();
    const QJsonObject reply = client.uploadFile(QVariant(), path, name, QVariant());
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (reply.isEmpty()) {
        say(QStringLiteral("client upload failed: ") + client.lastError());
        return -1;
    }
    if (item)
        *item = reply.value(QLatin1String("item")).toObject();
    return seconds;
}

double Bench::clientDownload(qint64 id, const QString &target, const QString &digest)
{
    QElapsedTimer clock;
    clock.start();
    const bool ok = client.downloadFile(id, target, digest);
    const double seconds = clock.nsecsElapsed() / 1e9;
    if (!ok) {
        say(QStringLiteral("client download failed: ") + client.lastError());
        return -1;
    }
    return seconds;
}

bool Bench::curl(const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral("curl"),
                  QStringList{QStringLiteral("-sS"), QStringLiteral("--fail"), QStringLiteral("--http1.1"),
                              QStringLiteral("--cacert"), TestTls::caCertificatePath(), QStringLiteral("-H"),
                              QStringLiteral("Authorization: Bearer ") + client.token()}
                      + arguments);
    if (!process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        say(QStringLiteral("curl failed: ") + process.readAllStandardOutput());
        return false;
    }
    return true;
}

double Bench::curlUpload(const QString &path, const QString &name)
{
    QElapsedTimer clock;
    clock.start();
    const bool ok = curl({QStringLiteral("-o"), QStringLiteral("/dev/null"), QStringLiteral("-F"),
                          QStringLiteral("name=") + name, QStringLiteral("-F"),
                          QStringLiteral("file=@") + path + QStringLiteral(";type=application/octet-stream"),
                          server.baseUrl() + QStringLiteral("/api/v1/files/upload")});
    return ok ? clock.nsecsElapsed() / 1e9 : -1;
}

double Bench::curlDownload(qint64 id, const QString &target)
{
    QElapsedTimer clock;
    clock.start();
    const bool ok = curl({QStringLiteral("-o"), target,
                          server.baseUrl() + QStringLiteral("/api/v1/files/%1/download").arg(id)});
    return ok ? clock.nsecsElapsed() / 1e9 : -1;
}

double Bench::bareUpload(const QString &path, const QString &name)
{
    QElapsedTimer clock;
    clock.start();
    QNetworkAccessManager network;
    auto *form = new QHttpMultiPart(QHttpMultiPart::FormDataType);
    QHttpPart namePart;
    namePart.setHeader(QNetworkRequest::ContentDispositionHeader, QByteArrayLiteral("form-data; name=\"name\""));
    namePart.setBody(name.toUtf8());
    form->append(namePart);
    auto *file = new QFile(path, form);
    if (!file->open(QIODevice::ReadOnly))
        return -1;
    QHttpPart filePart;
    filePart.setHeader(QNetworkRequest::ContentDispositionHeader,
                       QByteArrayLiteral("form-data; name=\"file\"; filename=\"bare.bin\""));
    filePart.setBodyDevice(file);
    form->append(filePart);
    QNetworkRequest request(QUrl(server.baseUrl() + QStringLiteral("/api/v1/files/upload")));
    request.setRawHeader("Authorization", "Bearer " + client.token().toUtf8());
    QNetworkReply *reply = network.post(request, form);
    form->setParent(reply);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    const bool ok = reply->error() == QNetworkReply::NoError;
    delete reply;
    return ok ? clock.nsecsElapsed() / 1e9 : -1;
}

double Bench::bareDownload(qint64 id)
{
    QElapsedTimer clock;
    clock.start();
    QNetworkAccessManager network;
    QNetworkRequest request(QUrl(server.baseUrl() + QStringLiteral("/api/v1/files/%1/download").arg(id)));
    request.setRawHeader("Authorization", "Bearer " + client.token().toUtf8());
    QNetworkReply *reply = network.get(request);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::readyRead, &loop, [reply] { reply->readAll(); });
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    const bool ok = reply->error() == QNetworkReply::NoError;
    delete reply;
    return ok ? clock.nsecsElapsed() / 1e9 : -1;
}

void Bench::throughput(bool downloadOnly)
{
    const qint64 bytes = options.sizeMiB << 20;
    const QString source = QDir(dir).filePath(QStringLiteral("throughput.bin"));
    if (!writeRandomFile(source, bytes)) {
        say(QStringLiteral("cannot write the source file"));
        ++failures;
        return;
    }
    const QString digest = fileDigest(source);
    const double mib = double(bytes) / (1 << 20);

    // best of several alternating runs, so both sides meet the same warm caches
    double clientUp = 1e99, curlUp = 1e99, clientDown = 1e99, curlDown = 1e99, bareUp = 1e99, bareDown = 1e99;
    qint64 id = 0;
    // the download alone still needs the file on the server once
    if (downloadOnly) {
        QJsonObject item;
        if (clientUpload(source, newName(QStringLiteral("client")), &item) < 0) {
            ++failures;
            return;
        }
        id = qint64(item.value(QLatin1String("id")).toDouble());
    }
    for (int i = 0; !downloadOnly && i < options.repeat; ++i) {
        QJsonObject item;
        const double c = clientUpload(source, newName(QStringLiteral("client")), &item);
        const double r = curlUpload(source, newName(QStringLiteral("curl")));
        const double b = bareUpload(source, newName(QStringLiteral("bare")));
        if (c < 0 || r < 0 || b < 0) {
            ++failures;
            return;
        }
        bareUp = std::min(bareUp, b);
        clientUp = std::min(clientUp, c);
        curlUp = std::min(curlUp, r);
        id = qint64(item.value(QLatin1String("id")).toDouble());
    }
    const QString target = QDir(dir).filePath(QStringLiteral("downloaded.bin"));
    // processor seconds of the client process, of curl, and of the bare manager
    double clientCpu = 1e99, curlCpu = 1e99, bareCpu = 1e99;
    for (int i = 0; i < options.repeat; ++i) {
        const CpuSeconds before = cpuNow();
        const double c = clientDownload(id, target, digest);
        const CpuSeconds afterClient = cpuNow();
        QFile::remove(target);
        const double r = curlDownload(id, target);
        const CpuSeconds afterCurl = cpuNow();
        const double b = bareDownload(id);
        const CpuSeconds afterBare = cpuNow();
        if (c < 0 || r < 0 || b < 0 || fileDigest(target) != digest) {
            ++failures;
            return;
        }
        clientCpu = std::min(clientCpu, afterClient.self - before.self);
        curlCpu = std::min(curlCpu, afterCurl.children - afterClient.children);
        bareCpu = std::min(bareCpu, afterBare.self - afterCurl.self);
        bareDown = std::min(bareDown, b);
        QFile::remove(target);
        clientDown = std::min(clientDown, c);
        curlDown = std::min(curlDown, r);
    }
    QFile::remove(source);

    // one direction's throughput against curl and against the bare manager
    const auto throughput = [mib](const QString &direction, double client, double curl, double bare,
                                  const QString &bareWhat) {
        say(QStringLiteral("unthrottled %1 of %2 MiB: client %3 MiB/s, curl %4 MiB/s")
                .arg(direction)
                .arg(mib)
                .arg(mib / client, 0, 'f', 1)
                .arg(mib / curl, 0, 'f', 1));
        figure(direction + QStringLiteral("_throughput"), mib / client, QStringLiteral("MiB/s"), curl / client,
               QStringLiteral("ratio >= 0.8"), QStringLiteral("curl"), mib / curl);
        say(QStringLiteral("bare QNetworkAccessManager %1, %2: %3 MiB/s").arg(direction, bareWhat).arg(mib / bare, 0, 'f', 1));
        figure(direction + QStringLiteral("_throughput_vs_bare_qt"), mib / client, QStringLiteral("MiB/s"), bare / client,
               QStringLiteral("informative"), QStringLiteral("bare_qnam"), mib / bare);
    };
    if (!downloadOnly)
        throughput(QStringLiteral("upload"), clientUp, curlUp, bareUp, QStringLiteral("the same form"));
    throughput(QStringLiteral("download"), clientDown, curlDown, bareDown, QStringLiteral("body discarded"));
    if (clientCpu >= 0 && curlCpu >= 0 && bareCpu >= 0) {
        say(QStringLiteral("processor time of the download (server not counted): client %1 s, curl %2 s, "
                           "bare QNetworkAccessManager %3 s")
                .arg(clientCpu, 0, 'f', 2).arg(curlCpu, 0, 'f', 2).arg(bareCpu, 0, 'f', 2));
        figure(QStringLiteral("download_cpu"), clientCpu, QStringLiteral("s"), clientCpu > 0 ? curlCpu / clientCpu : -1,
               QStringLiteral("informative"), QStringLiteral("curl"), curlCpu);
        figure(QStringLiteral("download_cpu_vs_bare_qt"), clientCpu, QStringLiteral("s"),
               clientCpu > 0 ? bareCpu / clientCpu : -1, QStringLiteral("informative"), QStringLiteral("bare_qnam"),
               bareCpu);
    }
}

void Bench::throttled()
{
    for (const int limit : {100, 1024}) {
        const qint64 rate = qint64(limit) * 1024;
        const qint64 bytes = qint64(rate * options.throttleSeconds);
        const QString source = QDir(dir).filePath(QStringLiteral("throttled.bin"));
        if (!writeRandomFile(source, bytes)) {
            ++failures;
            return;
        }
        const QString digest = fileDigest(source);

        client.setTransferLimits(0, limit);
        QJsonObject item;
        const double up = clientUpload(source, newName(QStringLiteral("throttled")), &item);
        client.setTransferLimits(limit, 0);
        const QString target = QDir(dir).filePath(QStringLiteral("throttled-down.bin"));
        const double down = up < 0 ? -1 : clientDownload(qint64(item.value(QLatin1String("id")).toDouble()), target, digest);
        client.setTransferLimits(0, 0);
        QFile::remove(source);
        QFile::remove(target);
        if (up < 0 || down < 0) {
            ++failures;
            return;
        }

        const double upRate = bytes / up / 1024;
        const double downRate = bytes / down / 1024;
        say(QStringLiteral("throttled at %1 KiB/s: upload %2 KiB/s over %3 s, download %4 KiB/s over %5 s")
                .arg(limit).arg(upRate, 0, 'f', 1).arg(up, 0, 'f', 1).arg(downRate, 0, 'f', 1).arg(down, 0, 'f', 1));
        figure(QStringLiteral("throttled_upload_%1kibps").arg(limit), upRate, QStringLiteral("KiB/s"), upRate / limit,
               QStringLiteral("0.95 <= ratio <= 1.05"), QStringLiteral("limit"), limit);
        figure(QStringLiteral("throttled_download_%1kibps").arg(limit), downRate, QStringLiteral("KiB/s"),
               downRate / limit, QStringLiteral("0.95 <= ratio <= 1.05"), QStringLiteral("limit"), limit);
    }
}

void Bench::memory()
{
    const qint64 bytes = options.memoryMiB << 20;
    const QString source = QDir(dir).filePath(QStringLiteral("memory.bin"));
    if (!writeRandomFile(source, bytes)) {
        ++failures;
        return;
    }
    const QString digest = fileDigest(source);

    const qint64 idle = statusKiB("VmRSS:");
    if (!resetPeak()) {
        say(QStringLiteral("cannot reset the resident high-water mark; memory figures skipped"));
        return;
    }
    QJsonObject item;
    const double up = clientUpload(source, newName(QStringLiteral("memory")), &item);
    const qint64 upPeak = statusKiB("VmHWM:");
    QFile::remove(source);
    if (up < 0) {
        ++failures;
        return;
    }

    const QString target = QDir(dir).filePath(QStringLiteral("memory-down.bin"));
    const qint64 idleAgain = statusKiB("VmRSS:");
    resetPeak();
    const double down = clientDownload(qint64(item.value(QLatin1String("id")).toDouble()), target, digest);
    const qint64 downPeak = statusKiB("VmHWM:");
    QFile::remove(target);
    if (down < 0) {
        ++failures;
        return;
    }

    const double upAbove = (upPeak - idle) / 1024.0;
    const double downAbove = (downPeak - idleAgain) / 1024.0;
    say(QStringLiteral("%1 MiB upload: peak %2 MiB resident, %3 MiB above idle (%4 MiB)")
            .arg(options.memoryMiB).arg(upPeak / 1024.0, 0, 'f', 1).arg(upAbove, 0, 'f', 1).arg(idle / 1024.0, 0, 'f', 1));
    figure(QStringLiteral("upload_peak_rss_above_idle"), upAbove, QStringLiteral("MiB"), upAbove / 64,
           QStringLiteral("value < 64 MiB"), QStringLiteral("budget"), 64);
    say(QStringLiteral("%1 MiB download: peak %2 MiB resident, %3 MiB above idle (%4 MiB)")
            .arg(options.memoryMiB).arg(downPeak / 1024.0, 0, 'f', 1).arg(downAbove, 0, 'f', 1)
            .arg(idleAgain / 1024.0, 0, 'f', 1));
    figure(QStringLiteral("download_peak_rss_above_idle"), downAbove, QStringLiteral("MiB"), downAbove / 64,
           QStringLiteral("value < 64 MiB"), QStringLiteral("budget"), 64);
}

int Bench::run()
{
    QTemporaryDir temp(options.work.isEmpty() ? QDir::tempPath() + QStringLiteral("/bench-transfer-XXXXXX")
                                              : options.work + QStringLiteral("/bench-transfer-XXXXXX"));
    if (!temp.isValid()) {
        say(QStringLiteral("cannot make a work folder"));
        return 1;
    }
    dir = temp.path();
    if (!setUp())
        return 1;
    say(QStringLiteral("reference server at %1, %2 cores").arg(server.baseUrl()).arg(QThread::idealThreadCount()));

    // memory first, while the process is at its idle size
    if (options.only.contains(QLatin1String("memory")))
        memory();
    if (options.only.contains(QLatin1String("throughput")))
        throughput(false);
    else if (options.only.contains(QLatin1String("download")))
        throughput(true);
    if (options.only.contains(QLatin1String("throttled")))
        throttled();
    return failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral("bench"));
#ifdef KUMAT_SERVER_DEFAULT
    if (qEnvironmentVariableIsEmpty("KUMAT_SERVER_BIN"))
        qputenv("KUMAT_SERVER_BIN", KUMAT_SERVER_DEFAULT);
#endif

    Options options;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString a = args.at(i);
        const QString value = args.value(i + 1);
        if (a == QLatin1String("--size-mib"))
            options.sizeMiB = value.toLongLong(), ++i;
        else if (a == QLatin1String("--memory-mib"))
            options.memoryMiB = value.toLongLong(), ++i;
        else if (a == QLatin1String("--throttle-seconds"))
            options.throttleSeconds = value.toDouble(), ++i;
        else if (a == QLatin1String("--repeat"))
            options.repeat = qMax(1, value.toInt()), ++i;
        else if (a == QLatin1String("--work"))
            options.work = value, ++i;
        else if (a == QLatin1String("--only"))
            options.only = value.split(QLatin1Char(',')), ++i;
        else {
            std::fprintf(stderr, "usage: bench_transfer [--size-mib N] [--memory-mib N] [--throttle-seconds S] "
                                 "[--repeat N] [--work DIR] [--only memory,throughput,download,throttled]\n");
            return 2;
        }
    }
    return Bench(options).run();
}
