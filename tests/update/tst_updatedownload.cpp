#include "updatefixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QNetworkReply>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <filesystem>
#include <memory>
#include <system_error>

namespace {
const QString installerName = QStringLiteral("Zelnor-Kumat-Senkronizasyon-guncelleme.exe");
const QString mismatch = QStringLiteral("Güncelleme dosyasının güvenlik doğrulaması başarısız.");
const QString tooLarge = QStringLiteral("Güncelleme paketi izin verilen 512 MiB sınırını aşıyor.");
const QString offHost = QStringLiteral("Güncelleme paketi güvenlik denetiminden geçemedi.");
const QByteArray oldInstaller = "MZ the installer of an earlier update";

enum Serve {
    Installer,
    OtherBytes,
    AnnounceOverCap,
    ServerError,
    CutMidBody,
    RedirectOffHost,
    RedirectOnHost,
    ChangedBeforeDigest,
};

// What another program tries on the installer the manager holds.
enum Attempt {
    Write,
    ReplaceByRename,
    RenameAway,
    Delete,
    Start,
};

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}
} // namespace

class UpdateDownloadTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void nothingOffered_data();
    void nothingOffered();
    void secondCallWhileRunning();
    void outcome_data();
    void outcome();
    void againAfterFailure();
    void saveFileUnavailable();
    void installerPathBlocked();
    void heldInstaller_data();
    void heldInstaller();
    void latestNewerCheckDecides_data();
    void latestNewerCheckDecides();

private:
    // Runs a check whose manifest offers `path` with the given digest and waits
    // for the offer.
    bool offer(UpdateManager &manager, const QString &version, const QByteArray &path, const QString &sha);
    QStringList filesInTemp() const { return QDir(temp->path()).entryList(QDir::Files | QDir::Hidden); }

    // the variables the temporary location comes from: TMPDIR on Linux, TMP
    // and TEMP on Windows
    static void setTempLocation(const QString &path);

    RoutedServer server;
    QString originalTemp;
    QHash<QByteArray, QByteArray> originalTempVariables;
    std::unique_ptr<QTemporaryDir> temp;
    QString installerPath;
    const QByteArray payload = QByteArray("MZ") + QByteArray(3 * 1024 * 1024 + 17, 'k');
};

void UpdateDownloadTest::initTestCase()
{
    QCoreApplication::setApplicationVersion(QStringLiteral("0.3.20"));
    QVERIFY(server.listen());
    originalTemp = QDir::tempPath();
    for (const char *name : {"TMPDIR", "TMP", "TEMP"}) {
        if (qEnvironmentVariableIsSet(name))
            originalTempVariables.insert(name, qgetenv(name));
    }
}

void UpdateDownloadTest::setTempLocation(const QString &path)
{
    for (const char *name : {"TMPDIR", "TMP", "TEMP"})
        qputenv(name, QFile::encodeName(QDir::toNativeSeparators(path)));
}

void UpdateDownloadTest::init()
{
    server.routes.clear();
    server.requests.clear();
    temp = std::make_unique<QTemporaryDir>(originalTemp + QStringLiteral("/kumat-update-test-XXXXXX"));
    QVERIFY(temp->isValid());
    setTempLocation(temp->path());
    QCOMPARE(QStandardPaths::writableLocation(QStandardPaths::TempLocation), temp->path());
    installerPath = QDir(temp->path()).filePath(installerName);
}

void UpdateDownloadTest::cleanup()
{
    server.closeConnections();
    for (const char *name : {"TMPDIR", "TMP", "TEMP"}) {
        if (originalTempVariables.contains(name))
            qputenv(name, originalTempVariables.value(name));
        else
            qunsetenv(name);
    }
    temp->setAutoRemove(!QTest::currentTestFailed());
    temp.reset();
}

bool UpdateDownloadTest::offer(UpdateManager &manager, const QString &version, const QByteArray &path,
                               const QString &sha)
{
    server.routes.insert("/downloads/latest.json",
                         ScriptedResponse::json(200, manifestJson(version, server.url(QString::fromLatin1(path)).toString(), sha)));
    SignalTrace trace(&manager);
    manager.checkForUpdates(server.url(QStringLiteral("/downloads/latest.json")));
    return QTest::qWaitFor([&] { return trace.checkEnded(); }) && trace.count(QStringLiteral("updateAvailable")) == 1;
}

void UpdateDownloadTest::nothingOffered_data()
{
    QTest::addColumn<QString>("manifestVersion"); // empty: no check at all

    QTest::newRow("no check yet") << "";
    QTest::newRow("check found the same version") << "0.3.20";
    QTest::newRow("check failed") << "not a version";
}

void UpdateDownloadTest::nothingOffered()
{
    QFETCH(QString, manifestVersion);
    server.routes.insert("/dl/setup.exe", bodyResponse(payload));
    UpdateManager manager(QStringLiteral("localhost"), nullptr);
    if (!manifestVersion.isEmpty()) {
        const QByteArray manifest = manifestVersion == QLatin1String("not a version")
            ? QByteArray("{\"version\":\"9.0\"}")
            : manifestJson(manifestVersion, server.url(QStringLiteral("/dl/setup.exe")).toString(),
                           sha256Hex(payload));
        server.routes.insert("/downloads/latest.json", ScriptedResponse::json(200, manifest));
        SignalTrace check(&manager);
        manager.checkForUpdates(server.url(QStringLiteral("/downloads/latest.json")));
        QTRY_VERIFY(check.checkEnded());
        QCOMPARE(check.count(QStringLiteral("updateAvailable")), 0);
    }

    SignalTrace trace(&manager);
    manager.downloadUpdate();
    QVERIFY(trace.names.isEmpty());
    QVERIFY(manager.findChildren<QNetworkReply *>().isEmpty());
    QVERIFY(filesInTemp().isEmpty());
}

void UpdateDownloadTest::secondCallWhileRunning()
{
    server.routes.insert("/dl/setup.exe", bodyResponse(payload));
    UpdateManager manager(QStringLiteral("localhost"), nullptr);
    QVERIFY(offer(manager, QStringLiteral("0.4.0"), "/dl/setup.exe", sha256Hex(payload)));

    SignalTrace trace(&manager);
    manager.downloadUpdate();
    manager.downloadUpdate();
    QCOMPARE(manager.findChildren<QNetworkReply *>().size(), 1);
    QTRY_VERIFY(trace.downloadEnded());
    QCOMPARE(trace.outcomes(), QStringList{QStringLiteral("updateReady")});
    QCOMPARE(server.hits("/dl/setup.exe"), 1);
}

void UpdateDownloadTest::outcome_data()
{
    QTest::addColumn<int>("serve");
    QTest::addColumn<bool>("earlierInstaller");
    QTest::addColumn<QString>("failure"); // empty: the download succeeds

    QTest::newRow("verified") << int(Installer) << false << "";
    QTest::newRow("verified replaces the earlier one") << int(Installer) << true << "";
    QTest::newRow("redirect on the trusted host") << int(RedirectOnHost) << false << "";
    QTest::newRow("digest mismatch") << int(OtherBytes) << false << mismatch;
    QTest::newRow("digest mismatch keeps the earlier one") << int(OtherBytes) << true << mismatch;
    QTest::newRow("announced size over the cap") << int(AnnounceOverCap) << true << tooLarge;
    QTest::newRow("server error") << int(ServerError) << true << "*";
    QTest::newRow("connection cut mid-body") << int(CutMidBody) << true << "*";
    QTest::newRow("redirect to another host") << int(RedirectOffHost) << true << offHost;
    QTest::newRow("changed under its final name before the digest") << int(ChangedBeforeDigest) << false << mismatch;
}

void UpdateDownloadTest::outcome()
{
    QFETCH(int, serve);
    QFETCH(bool, earlierInstaller);
    QFETCH(QString, failure);

    ScriptedResponse response = bodyResponse(payload);
    switch (Serve(serve)) {
    case Installer:
    case ChangedBeforeDigest:
        break;
    case OtherBytes:
        response.body[100] = 'x';
        break;
    case AnnounceOverCap:
        // a few bytes and then silence: only the announced length can stop it
        response.action = ScriptedResponse::PartialThenStall;
        response.announcedLength = 536870913;
        response.body = "MZ";
        break;
    case ServerError:
        response = ScriptedResponse::json(500, "{\"ok\":false}");
        break;
    case CutMidBody:
        response.action = ScriptedResponse::PartialThenClose;
        response.announcedLength = payload.size();
        response.body = payload.left(payload.size() / 2);
        break;
    case RedirectOffHost:
        response = ScriptedResponse::redirect(302, server.url(QStringLiteral("/moved.exe"), QStringLiteral("127.0.0.1")).toEncoded());
        server.routes.insert("/moved.exe", bodyResponse(payload));
        break;
    case RedirectOnHost:
        response = ScriptedResponse::redirect(302, server.url(QStringLiteral("/moved.exe")).toEncoded());
        server.routes.insert("/moved.exe", bodyResponse(payload));
        break;
    }
    server.routes.insert("/dl/setup.exe", response);
    if (earlierInstaller)
        QVERIFY(writeFile(installerPath, oldInstaller));

    UpdateManager manager(QStringLiteral("localhost"), nullptr);
    QVERIFY(offer(manager, QStringLiteral("0.4.0"), "/dl/setup.exe", sha256Hex(payload)));
    int changed = 0;
    if (Serve(serve) == ChangedBeforeDigest) {
        // another program writes the installer once it has its final name
        connect(&manager, &UpdateManager::log, &manager, [this, &changed](const QString &message) {
            if (message.contains(installerPath))
                changed += writeFile(installerPath, "MZ another program") ? 1 : 100;
        });
    }
    SignalTrace trace(&manager);
    manager.downloadUpdate();
    QTRY_VERIFY(trace.downloadEnded());
    QCOMPARE(changed, Serve(serve) == ChangedBeforeDigest ? 1 : 0);

    if (failure.isEmpty()) {
        QCOMPARE(trace.outcomes(), QStringList{QStringLiteral("updateReady")});
        QCOMPARE(trace.last(QStringLiteral("updateReady")).value(0).toString(), installerPath);
        QVERIFY(readAll(installerPath) == payload);
        // what the program's next start compares before taking the installer away
        QCOMPARE(manager.installerSha256(), sha256Hex(payload));
        QCOMPARE(trace.last(QStringLiteral("downloadProgress")), QVariantList({qint64(payload.size()), qint64(payload.size())}));
        QCOMPARE(filesInTemp(), QStringList{installerName});
        return;
    }
    QCOMPARE(trace.outcomes(), QStringList{QStringLiteral("downloadFailed")});
    const QString message = trace.last(QStringLiteral("downloadFailed")).value(0).toString();
    if (failure == QLatin1String("*"))
        QVERIFY(!message.isEmpty());
    else
        QCOMPARE(message, failure);
    // nothing half-written or unverified is left, and an earlier installer is untouched
    if (earlierInstaller) {
        QCOMPARE(filesInTemp(), QStringList{installerName});
        QCOMPARE(readAll(installerPath), oldInstaller);
    } else {
        QCOMPARE(filesInTemp(), QStringList());
    }
}

void UpdateDownloadTest::againAfterFailure()
{
    // the offer is not used up by a failed attempt
    ScriptedResponse wrong = bodyResponse(payload);
    wrong.body.chop(1);
    server.routes.insert("/dl/setup.exe", wrong);
    UpdateManager manager(QStringLiteral("localhost"), nullptr);
    QVERIFY(offer(manager, QStringLiteral("0.4.0"), "/dl/setup.exe", sha256Hex(payload)));

    SignalTrace trace(&manager);
    manager.downloadUpdate();
    QTRY_VERIFY(trace.downloadEnded());
    QCOMPARE(trace.outcomes(), QStringList{QStringLiteral("downloadFailed")});

    server.routes.insert("/dl/setup.exe", bodyResponse(payload));
    trace.clear();
    manager.downloadUpdate();
    QTRY_VERIFY(trace.downloadEnded());
    QCOMPARE(trace.outcomes(), QStringList{QStringLiteral("updateReady")});
    QVERIFY(readAll(installerPath) == payload);
}

void UpdateDownloadTest::saveFileUnavailable()
{
    server.routes.insert("/dl/setup.exe", bodyResponse(payload));
    UpdateManager manager(QStringLiteral("localhost"), nullptr);
    QVERIFY(offer(manager, QStringLiteral("0.4.0"), "/dl/setup.exe", sha256Hex(payload)));

    // a temporary folder that cannot exist: its parent is a plain file
    const QString blocker = QDir(temp->path()).filePath(QStringLiteral("blocker"));
    QVERIFY(writeFile(blocker, "x"));
    setTempLocation(blocker + QStringLiteral("/sub"));

    SignalTrace trace(&manager);
    manager.downloadUpdate();
    QCOMPARE(trace.names, QStringList{QStringLiteral("downloadFailed")});
    QCOMPARE(trace.last(QStringLiteral("downloadFailed")).value(0).toString(),
             QStringLiteral("Güncelleme dosyası oluşturulamadı."));
    QVERIFY(manager.findChildren<QNetworkReply *>().isEmpty());
}

void UpdateDownloadTest::installerPathBlocked()
{
    // something the manager must not replace sits where the installer goes
    QVERIFY(QDir(temp->path()).mkdir(installerName));
    QVERIFY(writeFile(QDir(installerPath).filePath(QStringLiteral("keep.txt")), "keep"));
    server.routes.insert("/dl/setup.exe", bodyResponse(payload));
    UpdateManager manager(QStringLiteral("localhost"), nullptr);
    QVERIFY(offer(manager, QStringLiteral("0.4.0"), "/dl/setup.exe", sha256Hex(payload)));

    SignalTrace trace(&manager);
    manager.downloadUpdate();
    QTRY_VERIFY(trace.downloadEnded());
    QCOMPARE(trace.outcomes(), QStringList{QStringLiteral("downloadFailed")});
    QVERIFY(trace.last(QStringLiteral("downloadFailed")).value(0).toString().contains(installerPath));
    QCOMPARE(readAll(QDir(installerPath).filePath(QStringLiteral("keep.txt"))), QByteArray("keep"));
    QCOMPARE(filesInTemp(), QStringList());
}

void UpdateDownloadTest::heldInstaller_data()
{
    QTest::addColumn<int>("attempt");
    QTest::addColumn<bool>("refusedWhileHeld");

    QTest::newRow("write") << int(Write) << true;
    QTest::newRow("replace by rename") << int(ReplaceByRename) << true;
    QTest::newRow("rename away") << int(RenameAway) << true;
    QTest::newRow("delete") << int(Delete) << true;
    QTest::newRow("start") << int(Start) << false;
}

void UpdateDownloadTest::heldInstaller()
{
#ifndef Q_OS_WIN
    QSKIP("Linux cannot refuse other programs a file that is held open");
#endif
    QFETCH(int, attempt);
    QFETCH(bool, refusedWhileHeld);

    // a real program, to be started: the stand-in of the reference server
    // (without its broker it ends at once with 127)
    const QByteArray program = readAll(qEnvironmentVariable("KUMAT_SERVER_BIN"));
    QVERIFY(program.startsWith("MZ"));
    server.routes.insert("/dl/setup.exe", bodyResponse(program));
    UpdateManager manager(QStringLiteral("localhost"), nullptr);
    QVERIFY(offer(manager, QStringLiteral("0.4.0"), "/dl/setup.exe", sha256Hex(program)));
    SignalTrace trace(&manager);
    manager.downloadUpdate();
    QTRY_VERIFY(trace.downloadEnded());
    QCOMPARE(trace.outcomes(), QStringList{QStringLiteral("updateReady")});

    const QString other = QDir(temp->path()).filePath(QStringLiteral("other.exe"));
    QVERIFY(writeFile(other, "MZ another program"));
    const QString moved = QDir(temp->path()).filePath(QStringLiteral("moved.exe"));
    auto tryIt = [&]() -> bool {
        std::error_code code;
        switch (Attempt(attempt)) {
        case Write: {
            QFile f(installerPath);
            return f.open(QIODevice::ReadWrite) && f.write("x") == 1;
        }
        case ReplaceByRename:
            std::filesystem::rename(QFileInfo(other).filesystemFilePath(),
                                    QFileInfo(installerPath).filesystemFilePath(), code);
            return !code;
        case RenameAway:
            std::filesystem::rename(QFileInfo(installerPath).filesystemFilePath(),
                                    QFileInfo(moved).filesystemFilePath(), code);
            return !code;
        case Delete:
            return QFile::remove(installerPath);
        case Start: {
            QProcess process;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.remove(QStringLiteral("KUMAT_HOST_BROKER_PORT"));
            process.setProcessEnvironment(environment);
            process.start(installerPath, {});
            return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit
                && process.exitCode() == 127;
        }
        }
        return false;
    };

    QCOMPARE(tryIt(), !refusedWhileHeld);
    if (refusedWhileHeld) {
        QVERIFY(readAll(installerPath) == program);
        // the hold, not something else, refused it
        manager.releaseInstaller();
        QVERIFY(tryIt());
    }
}

void UpdateDownloadTest::latestNewerCheckDecides_data()
{
    QTest::addColumn<QString>("secondVersion");
    QTest::addColumn<QByteArray>("expectedPath");

    QTest::newRow("a later check without news keeps the offer") << "0.3.20" << QByteArray("/dl/first.exe");
    QTest::newRow("a later newer check replaces it") << "0.5.0" << QByteArray("/dl/second.exe");
}

void UpdateDownloadTest::latestNewerCheckDecides()
{
    QFETCH(QString, secondVersion);
    QFETCH(QByteArray, expectedPath);
    const QByteArray second = "MZ second installer";
    server.routes.insert("/dl/first.exe", bodyResponse(payload));
    server.routes.insert("/dl/second.exe", bodyResponse(second));

    UpdateManager manager(QStringLiteral("localhost"), nullptr);
    QVERIFY(offer(manager, QStringLiteral("0.4.0"), "/dl/first.exe", sha256Hex(payload)));
    offer(manager, secondVersion, "/dl/second.exe", sha256Hex(second));

    SignalTrace trace(&manager);
    manager.downloadUpdate();
    QTRY_VERIFY(trace.downloadEnded());
    QCOMPARE(trace.outcomes(), QStringList{QStringLiteral("updateReady")});
    QCOMPARE(server.hits(expectedPath), 1);
    QCOMPARE(server.hits("/dl/first.exe") + server.hits("/dl/second.exe"), 1);
}

QTEST_GUILESS_MAIN(UpdateDownloadTest)
#include "tst_updatedownload.moc"
