#include "uitest.h"

#include "autostart.h"
#include "autostart_unix.h"
#include "shortcutscript.h"

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

// Reads a PowerShell command the way PowerShell tokenises single-quoted strings:
// returns the literals in order and the text outside them with each literal
// replaced by "@".
QStringList powershellLiterals(const QString &script, QString *skeleton)
{
    const auto isQuote = [](QChar c) {
        return c == u'\'' || c == QChar(0x2018) || c == QChar(0x2019) || c == QChar(0x201A) || c == QChar(0x201B);
    };
    QStringList literals;
    skeleton->clear();
    for (qsizetype i = 0; i < script.size(); ++i) {
        if (!isQuote(script.at(i))) {
            *skeleton += script.at(i);
            continue;
        }
        QString literal;
        for (++i; i < script.size(); ++i) {
            if (isQuote(script.at(i))) {
                if (i + 1 < script.size() && isQuote(script.at(i + 1))) {
                    literal += script.at(++i);
                    continue;
                }
                break;
            }
            literal += script.at(i);
        }
        literals << literal;
        *skeleton += u'@';
    }
    return literals;
}

} // namespace

// The XDG autostart entry behind the check box, and the Windows shortcut
// command (its text is built without Windows, so it is checked here too).
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
    void shortcutScript_data();
    void shortcutScript();

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

void TestAutoStart::shortcutScript_data()
{
    QTest::addColumn<QString>("shortcut");
    QTest::addColumn<QString>("target");

    const QString lnk = QStringLiteral("C:/Users/ayse/Documents/../Start Menu/Programs/Startup/Zelnor Kumat "
                                       "Senkronizasyon.lnk");
    QTest::newRow("plain") << lnk << "C:/Program Files/Zelnor/Zelnor-Kumat-Senkronizasyon.exe";
    QTest::newRow("quote in profile") << "C:/Users/O'Brien/Documents/../Start Menu/Programs/Startup/x.lnk"
                                      << "C:/Program Files/Zelnor/Zelnor-Kumat-Senkronizasyon.exe";
    QTest::newRow("quote in target") << lnk << "D:/Araçlar/Ayşe'nin/Zelnor-Kumat-Senkronizasyon.exe";
    QTest::newRow("injection") << lnk << "C:/x');Remove-Item -Recurse 'C:/Users/ayse";
    QTest::newRow("typographic quote") << lnk << QStringLiteral("C:/Ayşe’nin/Kumat.exe");
    QTest::newRow("doubled quotes") << lnk << "C:/a''b/Kumat.exe";
}

void TestAutoStart::shortcutScript()
{
    QFETCH(QString, shortcut);
    QFETCH(QString, target);
    const QString script = QString::fromStdWString(::shortcutScript(shortcut.toStdWString(), target.toStdWString()));
    QString skeleton;
    const QStringList literals = powershellLiterals(script, &skeleton);
    // exactly the two paths come back, and nothing else became code
    QCOMPARE(literals, QStringList({shortcut, target}));
    QCOMPARE(skeleton, QStringLiteral("$s=(New-Object -ComObject WScript.Shell).CreateShortcut(@);$s.TargetPath=@;$s.Save()"));
}

KUMAT_UI_TEST_MAIN(TestAutoStart)
#include "tst_autostart.moc"
