#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
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

// The process ids that show a visible top-level window titled as the program.
QList<DWORD> programWindows()
{
    QList<DWORD> pids;
    EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
            wchar_t title[256] = {};
            if (IsWindowVisible(window) && GetWindowTextW(window, title, 255) > 0
                && QString::fromWCharArray(title) == appTitle) {
                DWORD pid = 0;
                GetWindowThreadProcessId(window, &pid);
                reinterpret_cast<QList<DWORD> *>(param)->append(pid);
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&pids));
    return pids;
}

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

QTEST_GUILESS_MAIN(TestInstaller)
#include "tst_installer_win.moc"
