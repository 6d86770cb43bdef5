#include "autostart.h"
#include "shortcutscript.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

// The shortcut is written by PowerShell: what reaches it must be exactly the
// script, whatever the executable's path holds, after Windows' own
// command-line quoting. A stand-in powershell.exe records what it was given.
class TestAutoStart : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void commandLine_data();
    void commandLine();
    void failureIsReported();

private:
    QTemporaryDir temp;
};

void TestAutoStart::initTestCase()
{
    QVERIFY(temp.isValid());
    const QString standins = QDir::toNativeSeparators(QCoreApplication::applicationDirPath() + "/standins");
    QVERIFY(QFile::exists(standins + "\\powershell.exe"));
    qputenv("PATH", (standins + u';' + qEnvironmentVariable("PATH")).toUtf8());
    qputenv("KUMAT_STANDIN_LOG", QDir::toNativeSeparators(temp.filePath("arguments")).toUtf8());
}

void TestAutoStart::commandLine_data()
{
    QTest::addColumn<QString>("executable");
    QTest::newRow("plain") << "C:/Program Files/Zelnor/Zelnor-Kumat-Senkronizasyon.exe";
    QTest::newRow("turkish and blanks") << QStringLiteral("D:/Araçlar/Ayşe Öztürk/Zelnor-Kumat-Senkronizasyon.exe");
    QTest::newRow("single quote") << "C:/Users/O'Brien/Kumat/Zelnor-Kumat-Senkronizasyon.exe";
    QTest::newRow("injection") << "C:/x');Remove-Item -Recurse 'C:/Users/ayse.exe";
    QTest::newRow("ampersand and percent") << "C:/A&B %PATH%/Kumat.exe";
}

void TestAutoStart::commandLine()
{
    QFETCH(QString, executable);
    qunsetenv("KUMAT_STANDIN_EXIT");
    QFile::remove(temp.filePath("arguments"));
    QVERIFY(AutoStart::enable(executable));
    QFile log(temp.filePath("arguments"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QList<QByteArray> arguments = log.readAll().split('\0');
    QCOMPARE(arguments.takeLast(), QByteArray()); // after the last terminator
    const QString script = QString::fromStdWString(
        shortcutScript(AutoStart::entryPath().toStdWString(), executable.toStdWString()));
    QCOMPARE(arguments, QList<QByteArray>({"-Command", script.toUtf8()}));
}

void TestAutoStart::failureIsReported()
{
    qputenv("KUMAT_STANDIN_EXIT", "1");
    QVERIFY(!AutoStart::enable(QStringLiteral("C:/Kumat/Zelnor-Kumat-Senkronizasyon.exe")));
}

QTEST_GUILESS_MAIN(TestAutoStart)
#include "tst_autostart_win.moc"
