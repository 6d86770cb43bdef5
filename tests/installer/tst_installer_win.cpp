#include "filereader.h"
#include "referenceserver.h"
#include "testplatform.h"
#include "vendor.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <windows.h>

namespace {

const QString appTitle = QStringLiteral("Zelnor Kumat Senkronizasyon");
const QString exeName = QStringLiteral("Zelnor-Kumat-Senkronizasyon.exe");
const QString uninstallKey =
    QStringLiteral("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\ZelnorKumatSenkronizasyon");

struct TopWindow
{
    HWND handle;
    DWORD pid;
};

// The visible top-level windows with this title.
QList<TopWindow> windowsTitled(const QString &wanted)
{
    struct Search
    {
        QString title;
        QList<TopWindow> found;
    } search{wanted, {}};
    EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
            auto *search = reinterpret_cast<Search *>(param);
            wchar_t title[256] = {};
            if (IsWindowVisible(window) && GetWindowTextW(window, title, 255) > 0
                && QString::fromWCharArray(title) == search->title) {
                DWORD pid = 0;
                GetWindowThreadProcessId(window, &pid);
                search->found.append({window, pid});
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

bool hasWindow(const QString &title, DWORD pid)
{
    for (const TopWindow &window : windowsTitled(title)) {
        if (window.pid == pid)
            return true;
    }
    return false;
}

// The process ids that show a visible top-level window titled as the program.
QList<DWORD> programWindows()
{
    QList<DWORD> pids;
    for (const TopWindow &window : windowsTitled(appTitle))
        pids.append(window.pid);
    return pids;
}

// Enter on every box with this title that process pid shows, as a user
// accepts its default button.
void pressEnter(const QString &title, DWORD pid)
{
    for (const TopWindow &window : windowsTitled(title)) {
        if (window.pid != pid)
            continue;
        const LPARAM scanCode = LPARAM(MapVirtualKeyW(VK_RETURN, MAPVK_VK_TO_VSC)) << 16;
        PostMessageW(window.handle, WM_KEYDOWN, VK_RETURN, scanCode | 1);
        PostMessageW(window.handle, WM_KEYUP, VK_RETURN, scanCode | 1 | (LPARAM(3) << 30));
    }
}

QString processImage(DWORD pid)
{
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process)
        return QString();
    wchar_t path[MAX_PATH * 2] = {};
    DWORD size = MAX_PATH * 2;
    const bool ok = QueryFullProcessImageNameW(process, 0, path, &size);
    CloseHandle(process);
    return ok ? QDir::fromNativeSeparators(QString::fromWCharArray(path, int(size))) : QString();
}

// "major.minor.patch" from a program's version resource, as Explorer shows it.
QString fileVersion(const QString &path)
{
    const std::wstring name = QDir::toNativeSeparators(path).toStdWString();
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(name.c_str(), &handle);
    QByteArray data(int(size), Qt::Uninitialized);
    VS_FIXEDFILEINFO *info = nullptr;
    UINT length = 0;
    if (size == 0 || !GetFileVersionInfoW(name.c_str(), 0, size, data.data())
        || !VerQueryValueW(data.data(), L"\\", reinterpret_cast<void **>(&info), &length) || !info)
        return QString();
    return QStringLiteral("%1.%2.%3")
        .arg(HIWORD(info->dwProductVersionMS))
        .arg(LOWORD(info->dwProductVersionMS))
        .arg(HIWORD(info->dwProductVersionLS));
}

// A hosts file that the resolver of this test and of the programs it starts
// reads, and no other program: the test runner makes it (under Wine, in a
// mount namespace where it stands in for /etc/hosts). The machine's own is
// never written. Empty where there is none, with the reason in
// hostsSkipReason().
QString hostsFilePath()
{
    return QDir::fromNativeSeparators(qEnvironmentVariable("KUMAT_TEST_HOSTS_FILE"));
}

QByteArray hostsSkipReason()
{
    const QString reason = qEnvironmentVariable("KUMAT_TEST_HOSTS_UNAVAILABLE");
    return "the update host's name cannot be pointed at the test server without a hosts file of the test's own ("
        + (reason.isEmpty() ? QByteArrayLiteral("KUMAT_TEST_HOSTS_FILE, which scripts/wine-test-run sets up")
                            : reason.toUtf8())
        + ")";
}

// Points the update host's name at a loopback address for as long as it
// lives. The programs the test started read the file meanwhile (every
// "localhost"), so it is never left empty or half-written: the entry is
// appended in place (the file is mounted over /etc/hosts; a new file would
// not be), and taken away by cutting the file back to its length before.
class HostsEntry
{
public:
    explicit HostsEntry(const QString &address)
    {
        QFile file(hostsFilePath());
        if (file.fileName().isEmpty() || !file.open(QIODevice::ReadWrite))
            return;
        const QByteArray text = file.readAll();
        if (!text.isEmpty() && !text.endsWith('\n'))
            file.write("\n");
        file.flush();
        sizeBefore = file.size();
        line = address.toLatin1() + ' ' + Vendor::host + ' ' + marker + '\n';
        ok = file.write(line) == line.size() && file.flush();
    }
    ~HostsEntry()
    {
        QFile file(hostsFilePath());
        if (sizeBefore < 0 || !file.open(QIODevice::ReadWrite))
            return;
        if (file.size() == sizeBefore + line.size() && file.seek(sizeBefore) && file.readAll() == line)
            file.resize(sizeBefore);
        else
            qWarning("the hosts file changed meanwhile; the entry marked \"%s\" is left in it", marker);
    }
    bool ok = false;

private:
    static constexpr char marker[] = "# kumat update test";
    qint64 sizeBefore = -1;
    QByteArray line;
};

void endProcess(DWORD pid)
{
    const HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    if (!process)
        return;
    TerminateProcess(process, 0);
    WaitForSingleObject(process, 10000);
    CloseHandle(process);
}

// The installed program as a user starts it: on the Windows platform, not
// the tests' offscreen one.
QProcessEnvironment programEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    return env;
}

// The installer's command line as written: its "/D=" takes the rest of the
// line unquoted, spaces and all.
int runInstaller(const QString &commandLine, int timeoutMs = 120000)
{
    QProcess installer;
    installer.setProgram(QDir::fromNativeSeparators(qEnvironmentVariable("KUMAT_INSTALLER")));
    installer.setNativeArguments(commandLine);
    installer.start();
    if (!installer.waitForFinished(timeoutMs))
        return -1;
    return installer.exitStatus() == QProcess::NormalExit ? installer.exitCode() : -1;
}

// Every file under dir by its path there, with its SHA-256; the update's own
// working folders aside.
QMap<QString, QString> folderDigests(const QString &dir)
{
    QMap<QString, QString> digests;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString relative = QDir(dir).relativeFilePath(it.next());
        if (!relative.startsWith(QLatin1String(".guncelleme-")))
            digests.insert(relative, readFileContent(it.filePath()).sha256);
    }
    return digests;
}

bool copyFolder(const QString &from, const QString &to)
{
    QDirIterator it(from, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString target = to + QLatin1Char('/') + QDir(from).relativeFilePath(it.next());
        if (!QDir().mkpath(QFileInfo(target).path()) || !QFile::copy(it.filePath(), target))
            return false;
    }
    return true;
}

// The process id of a program window started from exe, 0 while there is none.
DWORD programStartedFrom(const QString &exe)
{
    for (DWORD pid : programWindows()) {
        if (processImage(pid).compare(exe, Qt::CaseInsensitive) == 0)
            return pid;
    }
    return 0;
}

} // namespace

// Install, update and uninstall, as a user and as the self-update run them.
class TestInstaller : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void installUpdateUninstall();
    void updateChain_data();
    void updateChain();
    void updateGivesUpOnAProgramThatStays();
    void updateLeavesAWholeProgram_data();
    void updateLeavesAWholeProgram();
};

void TestInstaller::initTestCase()
{
    QVERIFY2(QFileInfo::exists(QDir::fromNativeSeparators(qEnvironmentVariable("KUMAT_INSTALLER"))),
             "the installer is not built (scripts/build-installer)");
}

void TestInstaller::installUpdateUninstall()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString dir = temp.filePath(QStringLiteral("Kumat Program"));
    const QString exe = dir + QLatin1Char('/') + exeName;
    const QString menuEntry = QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation)
        + QStringLiteral("/Zelnor Kumat Senkronizasyon.lnk");

    // silent install into a folder of the test's choosing ("/D=" goes last, unquoted)
    QCOMPARE(runInstaller(QStringLiteral("/S /D=") + QDir::toNativeSeparators(dir)), 0);
    for (const char *file : {"Zelnor-Kumat-Senkronizasyon.exe", "Qt6Core.dll", "Qt6Widgets.dll", "Qt6Svg.dll",
                             "platforms/qwindows.dll", "tls/qschannelbackend.dll", "imageformats/qsvg.dll",
                             "libstdc++-6.dll", "uninstall.exe"})
        QVERIFY2(QFileInfo::exists(dir + QLatin1Char('/') + QLatin1String(file)), file);
    QVERIFY(QFileInfo::exists(menuEntry));
    {
        QSettings entry(uninstallKey, QSettings::NativeFormat);
        QCOMPARE(entry.value("DisplayVersion").toString(), qEnvironmentVariable("KUMAT_INSTALLER_VERSION"));
        QCOMPARE(QDir::fromNativeSeparators(entry.value("InstallLocation").toString()), dir);
    }

    // the installed program starts and shows its window
    QProcess old;
    old.setProcessEnvironment(programEnvironment());
    old.start(exe, QStringList());
    QVERIFY2(old.waitForStarted(20000), qPrintable(old.errorString()));
    const auto cleanup = qScopeGuard([&] {
        old.kill();
        old.waitForFinished(10000);
        for (DWORD pid : programWindows())
            endProcess(pid);
    });
    QTRY_VERIFY_WITH_TIMEOUT(programWindows().contains(DWORD(old.processId())), 30000);

    // the update waits for the program that handed over, then replaces the
    // files and starts the new version
    QFile damaged(dir + QStringLiteral("/uninstall.exe"));
    const qint64 uninstallerSize = damaged.size();
    QVERIFY(damaged.open(QIODevice::WriteOnly | QIODevice::Truncate));
    damaged.close();
    QProcess update;
    update.start(QDir::fromNativeSeparators(qEnvironmentVariable("KUMAT_INSTALLER")),
                 {QStringLiteral("--update"), QStringLiteral("--wait-pid"), QString::number(old.processId())});
    QVERIFY(update.waitForStarted(20000));
    QVERIFY2(!update.waitForFinished(3000), "the update did not wait for the running program");
    QCOMPARE(QFileInfo(dir + QStringLiteral("/uninstall.exe")).size(), 0);
    old.kill();
    QVERIFY(old.waitForFinished(10000));
    QVERIFY(update.waitForFinished(120000));
    QCOMPARE(update.exitCode(), 0);
    QCOMPARE(QFileInfo(dir + QStringLiteral("/uninstall.exe")).size(), uninstallerSize);
    QTRY_VERIFY_WITH_TIMEOUT(!programWindows().isEmpty(), 30000);
    // left running: the uninstaller must wait for it
    const QList<DWORD> started = programWindows();

    // the uninstaller removes what it installed, and only that; the settings
    // stay unless the user asks (a silent run does not ask)
    QVERIFY(QDir().mkpath(dir + QStringLiteral("/Kumat")));
    QFile own(dir + QStringLiteral("/Kumat/notlarim.txt"));
    QVERIFY(own.open(QIODevice::WriteOnly));
    own.write("kullanıcının dosyası");
    own.close();
    {
        QSettings settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Korvenalis"),
                           QStringLiteral("KumatSync"));
        settings.setValue("email", "ayse@example.com");
    }
    // what an update that could not put the old files back leaves (its exit 6)
    for (const char *left : {"/.guncelleme-yeni/Qt6Core.dll", "/.guncelleme-eski/Zelnor-Kumat-Senkronizasyon.exe"}) {
        QVERIFY(QDir().mkpath(QFileInfo(dir + QLatin1String(left)).path()));
        QFile copy(dir + QLatin1String(left));
        QVERIFY(copy.open(QIODevice::WriteOnly));
    }
    QFile marker(dir + QStringLiteral("/.guncelleme-suruyor"));
    QVERIFY(marker.open(QIODevice::WriteOnly));
    marker.close();
    QProcess uninstaller;
    uninstaller.start(dir + QStringLiteral("/uninstall.exe"), {QStringLiteral("/S")});
    QVERIFY(uninstaller.waitForFinished(60000));
    // it goes on from a copy of itself in the temporary folder, which waits
    // while the program runs: a running copy keeps its files
    QVERIFY2(!QTest::qWaitFor([&] { return !QFileInfo::exists(exe); }, 3000),
             "the uninstaller did not wait for the running program");
    for (DWORD pid : started)
        endProcess(pid);
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(dir + QStringLiteral("/uninstall.exe")), 60000);
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(menuEntry), 10000);
    for (const char *gone : {"Zelnor-Kumat-Senkronizasyon.exe", "Qt6Core.dll", "platforms", "tls", "imageformats",
                             ".guncelleme-yeni", ".guncelleme-eski", ".guncelleme-suruyor"})
        QVERIFY2(!QFileInfo::exists(dir + QLatin1Char('/') + QLatin1String(gone)), gone);
    QVERIFY(own.exists());
    // the uninstall entry is the copy's last step, after the menu entry
    QTRY_VERIFY_WITH_TIMEOUT(!QSettings(uninstallKey, QSettings::NativeFormat).contains("DisplayName"), 10000);
    QCOMPARE(QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Korvenalis"),
                       QStringLiteral("KumatSync"))
                 .value("email")
                 .toString(),
             QStringLiteral("ayse@example.com"));
}

void TestInstaller::updateChain_data()
{
    QTest::addColumn<bool>("digestMatches");
    QTest::newRow("verified release") << true;
    QTest::newRow("wrong digest") << false;
}

// The installed program finds the later release on the update host, the
// user accepts it, and the program hands over to its installer, which waits
// for it to end and starts the new version. A download whose digest is not
// the published one changes nothing installed, and the user learns so.
void TestInstaller::updateChain()
{
    QFETCH(bool, digestMatches);
    const QString nextInstaller = QDir::fromNativeSeparators(qEnvironmentVariable("KUMAT_NEXT_INSTALLER"));
    const QString nextVersion = qEnvironmentVariable("KUMAT_NEXT_VERSION");
    const QString thisVersion = qEnvironmentVariable("KUMAT_INSTALLER_VERSION");
    QVERIFY2(QFileInfo::exists(nextInstaller), "the later release is not built (scripts/build-installer)");

    // the update host's name, on a loopback address of this run's own
    const QString address = QStringLiteral("127.84.%1.%2")
                                .arg(QRandomGenerator::global()->bounded(1, 255))
                                .arg(QRandomGenerator::global()->bounded(1, 255));
    HostsEntry hosts(address);
    if (!hosts.ok) {
        if (hostsFilePath().isEmpty())
            QSKIP(hostsSkipReason().constData());
        QFAIL("the test's own hosts file cannot be written");
    }

    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const auto keepOnFailure = qScopeGuard([&] { temp.setAutoRemove(!QTest::currentTestFailed()); });
    ReferenceServer server;
    server.setListen(address, 443);
    QVERIFY(QDir().mkpath(server.downloadsDir()));
    const QString published = QStringLiteral("setup-%1.exe").arg(nextVersion);
    QVERIFY(QFile::copy(nextInstaller, server.downloadsDir() + QLatin1Char('/') + published));
    const QString digest = digestMatches ? readFileContent(nextInstaller).sha256 : QString(64, u'e');
    QVERIFY(!digest.isEmpty());
    QFile manifest(server.downloadsDir() + QStringLiteral("/latest.json"));
    QVERIFY(manifest.open(QIODevice::WriteOnly));
    manifest.write(QJsonDocument(QJsonObject{
                                     {"version", nextVersion},
                                     {"download_url", QStringLiteral("https://%1/downloads/%2").arg(Vendor::host, published)},
                                     {"sha256", digest},
                                     {"notes", QStringLiteral("Daha hızlı eşitleme.")},
                                 })
                       .toJson());
    manifest.close();
    QVERIFY2(server.start(), qPrintable(server.lastError()));

    QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Korvenalis"), QStringLiteral("KumatSync"))
        .clear();
    const QString dir = temp.filePath(QStringLiteral("Kumat Program"));
    const QString exe = dir + QLatin1Char('/') + exeName;
    QCOMPARE(runInstaller(QStringLiteral("/S /D=") + QDir::toNativeSeparators(dir)), 0);
    const auto uninstall = qScopeGuard([&] {
        QProcess::execute(dir + QStringLiteral("/uninstall.exe"), {QStringLiteral("/S")});
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(dir + QStringLiteral("/uninstall.exe")), 60000);
    });
    QCOMPARE(fileVersion(exe), thisVersion);
    const QString installedDigest = readFileContent(exe).sha256;
    QVERIFY(!installedDigest.isEmpty());

    // the program keeps its download in a temporary folder of its own here
    const QString programTemp = temp.filePath(QStringLiteral("tmp"));
    QVERIFY(QDir().mkpath(programTemp));
    QProcessEnvironment env = programEnvironment();
    env.insert(QStringLiteral("TMP"), QDir::toNativeSeparators(programTemp));
    env.insert(QStringLiteral("TEMP"), QDir::toNativeSeparators(programTemp));
    QProcess old;
    old.setProcessEnvironment(env);
    old.start(exe, QStringList());
    QVERIFY2(old.waitForStarted(20000), qPrintable(old.errorString()));
    const DWORD oldPid = DWORD(old.processId());
    const auto endPrograms = qScopeGuard([&] {
        old.kill();
        old.waitForFinished(10000);
        for (DWORD pid : programWindows())
            endProcess(pid);
    });

    // the program checks shortly after its start; the user accepts the offer
    // (an announcement first, where the platform has no tray)
    const QString failureTitle = QStringLiteral("Güncelleme indirilemedi");
    bool ended = false;
    bool refused = false;
    for (QDeadlineTimer deadline(120000); !deadline.hasExpired() && !ended && !refused;) {
        pressEnter(QStringLiteral("Güncelleme var"), oldPid);
        ended = old.waitForFinished(500);
        refused = hasWindow(failureTitle, oldPid);
    }

    if (!digestMatches) {
        QVERIFY2(refused, "no box told the user that the update could not be verified");
        QCOMPARE(old.state(), QProcess::Running);
        QCOMPARE(readFileContent(exe).sha256, installedDigest);
        QCOMPARE(QSettings(uninstallKey, QSettings::NativeFormat).value("DisplayVersion").toString(), thisVersion);
        // nothing unverified is left to be started later
        QCOMPARE(QDir(programTemp).entryList(QDir::Files | QDir::Hidden), QStringList());
        return;
    }

    QVERIFY2(ended, refused ? "the verified release was refused" : "the program did not hand over to the installer");
    DWORD newPid = 0;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            for (DWORD pid : programWindows()) {
                if (pid != oldPid && processImage(pid).compare(exe, Qt::CaseInsensitive) == 0)
                    newPid = pid;
            }
            return newPid != 0;
        }(),
        120000);
    QCOMPARE(fileVersion(exe), nextVersion);
    QCOMPARE(QSettings(uninstallKey, QSettings::NativeFormat).value("DisplayVersion").toString(), nextVersion);
    // the new version takes away the installer that the old one started
    QTRY_COMPARE_WITH_TIMEOUT(QDir(programTemp).entryList(QDir::Files | QDir::Hidden), QStringList(), 90000);
}

// An update whose program does not end within a minute installs nothing and
// says so by its exit code (and, when not silent, in a box).
void TestInstaller::updateGivesUpOnAProgramThatStays()
{
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString dir = temp.filePath(QStringLiteral("Kumat Program"));
    QElapsedTimer waited;
    waited.start();
    // this test process is the program that stays
    QCOMPARE(runInstaller(QStringLiteral("/S --update --wait-pid %1 /D=%2")
                              .arg(QCoreApplication::applicationPid())
                              .arg(QDir::toNativeSeparators(dir)),
                          180000),
             2);
    QVERIFY2(waited.elapsed() >= 59000, qPrintable(QString::number(waited.elapsed())));
    QVERIFY(!QFileInfo::exists(dir));
}

void TestInstaller::updateLeavesAWholeProgram_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("exitCode");
    // a file of the installation that someone holds open cannot be replaced:
    // everything already switched goes back
    QTest::newRow("file held open") << QStringLiteral("held") << 5;
    // a power cut or a kill while the new files are being written
    QTest::newRow("killed while copying") << QStringLiteral("killed") << -1;
    QTest::newRow("older release") << QStringLiteral("older") << 3;
    // another copy than the one that handed over (another session's, say)
    QTest::newRow("a copy still running") << QStringLiteral("running") << 0;
    // what a power cut in the middle of the switch leaves: the next installer
    // puts the old files back first (and then refuses its older release)
    QTest::newRow("switch cut short") << QStringLiteral("cut") << 3;
    // the copy the program runs from is updated, not the registered one (its
    // folder unquoted on the command line, with a "-" that ends an option)
    QTest::newRow("copy elsewhere") << QStringLiteral("elsewhere") << 0;
}

// Whatever happens to an update, the folder holds one whole version that
// starts, and the registered description tells which.
void TestInstaller::updateLeavesAWholeProgram()
{
    QFETCH(QString, fault);
    QFETCH(int, exitCode);
    const QString thisInstaller = QDir::fromNativeSeparators(qEnvironmentVariable("KUMAT_INSTALLER"));
    const QString nextInstaller = QDir::fromNativeSeparators(qEnvironmentVariable("KUMAT_NEXT_INSTALLER"));
    const QString thisVersion = qEnvironmentVariable("KUMAT_INSTALLER_VERSION");
    const QString nextVersion = qEnvironmentVariable("KUMAT_NEXT_VERSION");
    QVERIFY2(QFileInfo::exists(nextInstaller), "the later release is not built (scripts/build-installer)");
    const bool older = fault == QLatin1String("older") || fault == QLatin1String("cut");
    const QString offeredInstaller = older ? thisInstaller : nextInstaller;

    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString dir = temp.filePath(QStringLiteral("Kumat Program"));
    const QString exe = dir + QLatin1Char('/') + exeName;
    {
        QProcess first;
        first.setProgram(older ? nextInstaller : thisInstaller);
        first.setNativeArguments(QStringLiteral("/S /D=") + QDir::toNativeSeparators(dir));
        first.start();
        QVERIFY(first.waitForFinished(120000));
        QCOMPARE(first.exitCode(), 0);
    }
    const auto uninstall = qScopeGuard([&] {
        QProcess::execute(dir + QStringLiteral("/uninstall.exe"), {QStringLiteral("/S")});
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(dir + QStringLiteral("/uninstall.exe")), 60000);
    });
    const QString installed = older ? nextVersion : thisVersion;
    QCOMPARE(fileVersion(exe), installed);

    QString target = dir;
    if (fault == QLatin1String("elsewhere")) {
        target = temp.filePath(QStringLiteral("Başka-Kopya"));
        QVERIFY(copyFolder(dir, target));
    }
    if (fault == QLatin1String("cut")) {
        // a file of the release that was being replaced which this one's list
        // does not name
        QFile unlisted(dir + QStringLiteral("/styles/eski-eklenti.dll"));
        QVERIFY(QDir().mkpath(QFileInfo(unlisted).path()));
        QVERIFY(unlisted.open(QIODevice::WriteOnly));
        unlisted.write("eski sürümün eklentisi");
    }
    const QMap<QString, QString> before = folderDigests(dir);
    QVERIFY(before.contains(exeName));
    QVERIFY(before.contains(QStringLiteral("uninstall.exe")));

    const QString marker = dir + QStringLiteral("/.guncelleme-suruyor");
    if (fault == QLatin1String("cut")) {
        // one file switched, the program cut between its two renames
        const QString backup = dir + QStringLiteral("/.guncelleme-eski");
        QVERIFY(QDir().mkpath(backup));
        QVERIFY(QFile::rename(dir + QStringLiteral("/Qt6Core.dll"), backup + QStringLiteral("/Qt6Core.dll")));
        QFile replaced(dir + QStringLiteral("/Qt6Core.dll"));
        QVERIFY(replaced.open(QIODevice::WriteOnly));
        replaced.write("yeni sürümün dosyası");
        replaced.close();
        QVERIFY(QFile::rename(exe, backup + QLatin1Char('/') + exeName));
        QVERIFY(QDir().mkpath(backup + QStringLiteral("/styles")));
        QVERIFY(QFile::rename(dir + QStringLiteral("/styles/eski-eklenti.dll"),
                              backup + QStringLiteral("/styles/eski-eklenti.dll")));
        QFile switching(marker);
        QVERIFY(switching.open(QIODevice::WriteOnly));
        switching.write(nextVersion.toLatin1());
    }

    HANDLE held = INVALID_HANDLE_VALUE;
    const auto release = qScopeGuard([&] {
        if (held != INVALID_HANDLE_VALUE)
            CloseHandle(held);
    });
    if (fault == QLatin1String("held")) {
        // shared with no one: not renamed, not replaced, not removed. The
        // program itself is switched last, so all else has moved by then.
        held = CreateFileW(QDir::toNativeSeparators(dir + QStringLiteral("/uninstall.exe")).toStdWString().c_str(),
                           GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        QVERIFY(held != INVALID_HANDLE_VALUE);
    }

    QProcess running;
    if (fault == QLatin1String("running")) {
        running.setProcessEnvironment(programEnvironment());
        running.start(exe, QStringList());
        QVERIFY2(running.waitForStarted(20000), qPrintable(running.errorString()));
        QTRY_VERIFY_WITH_TIMEOUT(programStartedFrom(exe) != 0, 60000);
    }

    QProcess update;
    update.setProcessEnvironment(programEnvironment());
    update.start(offeredInstaller, {QStringLiteral("--update"), QStringLiteral("--target"), QDir::toNativeSeparators(target)});
    QVERIFY2(update.waitForStarted(20000), qPrintable(update.errorString()));
    const auto endPrograms = qScopeGuard([&] {
        update.kill();
        update.waitForFinished(10000);
        for (DWORD pid : programWindows())
            endProcess(pid);
    });
    if (fault == QLatin1String("killed")) {
        // the copy step begins with the folder of new files
        const QString staging = dir + QStringLiteral("/.guncelleme-yeni");
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(staging) || update.state() != QProcess::Running, 60000);
        update.kill();
        QVERIFY(update.waitForFinished(10000));
        // cut during the copy, not the switch after it
        QVERIFY(!QFileInfo::exists(dir + QStringLiteral("/.guncelleme-suruyor")));
    } else if (fault == QLatin1String("running")) {
        // nothing is touched while it runs; once it ends the update goes through
        QVERIFY2(!update.waitForFinished(5000), "the update did not wait for the running copy");
        QVERIFY(!QFileInfo::exists(dir + QStringLiteral("/.guncelleme-yeni")));
        QCOMPARE(folderDigests(dir), before);
        const DWORD runningPid = DWORD(running.processId());
        running.kill();
        QVERIFY(running.waitForFinished(10000));
        QVERIFY(update.waitForFinished(180000));
        QCOMPARE(update.exitCode(), exitCode);
        QCOMPARE(fileVersion(exe), nextVersion);
        QCOMPARE(QSettings(uninstallKey, QSettings::NativeFormat).value("DisplayVersion").toString(), nextVersion);
        QTRY_VERIFY_WITH_TIMEOUT(programStartedFrom(exe) != 0 && programStartedFrom(exe) != runningPid, 60000);
        return;
    } else {
        QVERIFY(update.waitForFinished(180000));
        QCOMPARE(update.exitStatus(), QProcess::NormalExit);
        QCOMPARE(update.exitCode(), exitCode);
    }
    if (held != INVALID_HANDLE_VALUE) {
        CloseHandle(held);
        held = INVALID_HANDLE_VALUE;
    }

    // the installed folder: not a byte changed, and the old version starts
    QCOMPARE(folderDigests(dir), before);
    QVERIFY(!QFileInfo::exists(marker));
    QCOMPARE(fileVersion(exe), installed);
    QCOMPARE(QSettings(uninstallKey, QSettings::NativeFormat).value("DisplayVersion").toString(), installed);
    QCOMPARE(QDir::fromNativeSeparators(QSettings(uninstallKey, QSettings::NativeFormat).value("InstallLocation").toString()),
             dir);
    if (fault == QLatin1String("killed")) {
        QProcess old;
        old.setProcessEnvironment(programEnvironment());
        old.setProgram(exe);
        QVERIFY(old.startDetached());
    }
    if (fault == QLatin1String("elsewhere")) {
        // updated where it runs: the new version starts from there
        const QString copied = target + QLatin1Char('/') + exeName;
        QTRY_VERIFY_WITH_TIMEOUT(programStartedFrom(copied) != 0, 60000);
        QCOMPARE(fileVersion(copied), nextVersion);
        QVERIFY(!QFileInfo::exists(target + QStringLiteral("/.guncelleme-eski")));
        QVERIFY(!QFileInfo::exists(target + QStringLiteral("/.guncelleme-yeni")));
        return;
    }
    // the installer starts the program that handed over again
    QTRY_VERIFY_WITH_TIMEOUT(programStartedFrom(exe) != 0, 60000);
    endProcess(programStartedFrom(exe));
    QVERIFY(!QFileInfo::exists(dir + QStringLiteral("/.guncelleme-eski")));

    if (fault == QLatin1String("older")) {
        // a plain install of the older release over it is refused as well
        QProcess plain;
        plain.setProgram(thisInstaller);
        plain.setNativeArguments(QStringLiteral("/S /D=") + QDir::toNativeSeparators(dir));
        plain.start();
        QVERIFY(plain.waitForFinished(120000));
        QCOMPARE(plain.exitCode(), exitCode);
        QCOMPARE(folderDigests(dir), before);
    }

    if (fault == QLatin1String("killed")) {
        // the next update clears what the cut one left and goes through
        QProcess again;
        again.setProcessEnvironment(programEnvironment());
        again.start(nextInstaller, {QStringLiteral("--update"), QStringLiteral("--target"), QDir::toNativeSeparators(dir)});
        QVERIFY(again.waitForFinished(180000));
        QCOMPARE(again.exitCode(), 0);
        QCOMPARE(fileVersion(exe), nextVersion);
        QVERIFY(!QFileInfo::exists(dir + QStringLiteral("/.guncelleme-yeni")));
        QTRY_VERIFY_WITH_TIMEOUT(programStartedFrom(exe) != 0, 60000);
    }
}

QTEST_GUILESS_MAIN(TestInstaller)
#include "tst_installer_win.moc"
