#include "uitest.h"

#include "autostart.h"
#include "autostart_unix.h"

#include <QFile>

using namespace UiTest;

namespace {

QString readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

} // namespace

// The XDG autostart entry behind the check box.
class TestAutoStart : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void execQuoting_data();
    void execQuoting();
    void entryFollowsTheCheckBox();
    void storedChoiceRewritesEntryAtStart();
    void withoutXdgConfigHome();
    void targetReadBack_data();
    void targetReadBack();
    void failureUnticksWithMessage();

private:
    std::unique_ptr<QTemporaryDir> temp;
    QByteArray savedConfigHome;
};

void TestAutoStart::init()
{
    clearStore();
    temp = std::make_unique<QTemporaryDir>();
    QVERIFY(temp->isValid());
    savedConfigHome = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", (temp->path() + "/config").toUtf8());
}

void TestAutoStart::cleanup()
{
    qputenv("XDG_CONFIG_HOME", savedConfigHome);
    temp->setAutoRemove(!QTest::currentTestFailed());
}

void TestAutoStart::execQuoting_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("exec");

    QTest::newRow("plain") << "/opt/kumat/zelnor-kumat-sync" << "\"/opt/kumat/zelnor-kumat-sync\"";
    QTest::newRow("blank") << "/home/ayşe/Uygulamalar/Kumat Sync/kumat"
                           << "\"/home/ayşe/Uygulamalar/Kumat Sync/kumat\"";
    QTest::newRow("double quote") << "/opt/a\"b/kumat" << "\"/opt/a\\\\\"b/kumat\"";
    QTest::newRow("dollar and backtick") << "/opt/$HOME/`id`/kumat" << "\"/opt/\\\\$HOME/\\\\`id\\\\`/kumat\"";
    QTest::newRow("backslash") << "/opt/a\\b/kumat" << "\"/opt/a\\\\\\\\b/kumat\"";
    QTest::newRow("field code") << "/opt/%f/kumat" << "\"/opt/%%f/kumat\"";
    QTest::newRow("single quote") << "/opt/O'Brien/kumat" << "\"/opt/O'Brien/kumat\"";
    QTest::newRow("line break") << "/opt/a\nExec=/bin/rm/kumat" << "\"/opt/a\\nExec=/bin/rm/kumat\"";
}

void TestAutoStart::execQuoting()
{
    QFETCH(QString, path);
    QFETCH(QString, exec);
    QCOMPARE(AutoStart::desktopExecArgument(path), exec);
    const QString entry = AutoStart::desktopEntry(path);
    QVERIFY(entry.startsWith(QStringLiteral("[Desktop Entry]\n")));
    QVERIFY(entry.contains(QStringLiteral("\nType=Application\n")));
    QVERIFY(entry.contains(QStringLiteral("\nExec=") + exec + u'\n'));
    // one line per key: a path can never add a key of its own
    QCOMPARE(entry.count(QStringLiteral("\nExec=")), 1);
}

void TestAutoStart::entryFollowsTheCheckBox()
{
    const QString entry = temp->path() + "/config/autostart/zelnor-kumat-sync.desktop";
    QCOMPARE(AutoStart::entryPath(), entry);
    MainWindow w;
    MainWindowTestAccess a{w};
    QVERIFY(!QFileInfo::exists(entry));

    a.check("autoStartCheck")->setChecked(true);
    QVERIFY(QFileInfo::exists(entry));
    QVERIFY(readAll(entry).contains(QStringLiteral("\nExec=")
                                    + AutoStart::desktopExecArgument(QCoreApplication::applicationFilePath()) + u'\n'));
    // the click alone stores nothing
    QVERIFY(!store()->contains("autoStart"));

    a.check("autoStartCheck")->setChecked(false);
    QVERIFY(!QFileInfo::exists(entry));
    // unchecking twice, or with nothing there, is quiet
    AutoStart::disable();
    QVERIFY(!QFileInfo::exists(entry));

    // off and on again: one entry, for this executable
    a.check("autoStartCheck")->setChecked(true);
    QVERIFY(QFileInfo::exists(entry));
    QCOMPARE(QDir(temp->path() + "/config/autostart").entryList(QDir::Files).size(), 1);
}

void TestAutoStart::storedChoiceRewritesEntryAtStart()
{
    const QString entry = temp->path() + "/config/autostart/zelnor-kumat-sync.desktop";
    QDir().mkpath(QFileInfo(entry).absolutePath());
    QFile stale(entry);
    QVERIFY(stale.open(QIODevice::WriteOnly));
    stale.write("[Desktop Entry]\nType=Application\nExec=\"/eski/yer/kumat\"\n");
    stale.close();
    store()->setValue("autoStart", true);

    MainWindow w; // the executable may have moved: the entry follows it
    QVERIFY(readAll(entry).contains(AutoStart::desktopExecArgument(QCoreApplication::applicationFilePath())));
    QVERIFY(!readAll(entry).contains(QStringLiteral("/eski/yer")));
}

void TestAutoStart::withoutXdgConfigHome()
{
    qunsetenv("XDG_CONFIG_HOME");
    QCOMPARE(AutoStart::entryPath(),
             QDir::homePath() + QStringLiteral("/.config/autostart/zelnor-kumat-sync.desktop"));
}

void TestAutoStart::targetReadBack_data()
{
    execQuoting_data();
}

// the check after writing reads the entry back: every path must survive it
void TestAutoStart::targetReadBack()
{
    QFETCH(QString, path);
    QVERIFY(AutoStart::enable(path));
    QCOMPARE(AutoStart::target(), path);
    // a wrong target is repaired
    QVERIFY(AutoStart::enable(QStringLiteral("/opt/other/kumat")));
    QCOMPARE(AutoStart::target(), QStringLiteral("/opt/other/kumat"));
}

void TestAutoStart::failureUnticksWithMessage()
{
    // a file where the autostart folder should be: nothing can be written there
    QFile blocker(temp->path() + "/config");
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    MainWindow w;
    MainWindowTestAccess a{w};
    a.check("autoStartCheck")->setChecked(true);
    QVERIFY(!a.check("autoStartCheck")->isChecked());
    const QList<QMessageBox *> notices = a.openNotices();
    QCOMPARE(notices.size(), 1);
    QCOMPARE(notices.first()->text(), QStringLiteral("Otomatik başlatma kısayolu oluşturulamadı. Program, oturum "
                                                      "açıldığında kendiliğinden başlamayacak."));
    a.saveSettings(false);
    QCOMPARE(store()->value("autoStart").toBool(), false);
}

KUMAT_UI_TEST_MAIN(TestAutoStart)
#include "tst_autostart.moc"
