#include "filereader.h"
#include "referenceserver.h"
#include "testplatform.h"
#include "vendor.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QDir>
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
    for (DWORD pid : programWindows())
        endProcess(pid);

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
    QProcess uninstaller;
    uninstaller.start(dir + QStringLiteral("/uninstall.exe"), {QStringLiteral("/S")});
    QVERIFY(uninstaller.waitForFinished(60000));
    // it goes on from a copy of itself in the temporary folder
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(dir + QStringLiteral("/uninstall.exe")), 60000);
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(menuEntry), 10000);
    for (const char *gone : {"Zelnor-Kumat-Senkronizasyon.exe", "Qt6Core.dll", "platforms", "tls", "imageformats"})
        QVERIFY2(!QFileInfo::exists(dir + QLatin1Char('/') + QLatin1String(gone)), gone);
    QVERIFY(own.exists());
    QVERIFY(!QSettings(uninstallKey, QSettings::NativeFormat).contains("DisplayName"));
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

QTEST_GUILESS_MAIN(TestInstaller)
#include "tst_installer_win.moc"
