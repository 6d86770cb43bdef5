#include "autostart.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

// The shortcut written through the shell's link object and read back the
// same way, in a Startup folder of the test's own.
class TestAutoStart : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void writtenAndReadBack_data();
    void writtenAndReadBack();
    void rightShortcutLeftAlone();
    void unwritableFolderFails_data();
    void unwritableFolderFails();

private:
    std::unique_ptr<QTemporaryDir> temp;
};

void TestAutoStart::init()
{
    temp = std::make_unique<QTemporaryDir>();
    QVERIFY(temp->isValid());
    AutoStart::setFolderForTesting(temp->path());
}

void TestAutoStart::cleanup()
{
    AutoStart::setFolderForTesting(QString());
}

void TestAutoStart::writtenAndReadBack_data()
{
    QTest::addColumn<QString>("executable");
    QTest::newRow("plain") << "C:/Program Files/Zelnor/Zelnor-Kumat-Senkronizasyon.exe";
    QTest::newRow("turkish and blanks") << QStringLiteral("D:/Araçlar/Ayşe Öztürk/Zelnor-Kumat-Senkronizasyon.exe");
    QTest::newRow("single quote") << "C:/Users/O'Brien/Kumat/Zelnor-Kumat-Senkronizasyon.exe";
    QTest::newRow("ampersand and percent") << "C:/A&B %PATH%/Kumat.exe";
}

void TestAutoStart::writtenAndReadBack()
{
    QFETCH(QString, executable);
    QCOMPARE(AutoStart::entryPath(), temp->path() + "/Zelnor Kumat Senkronizasyon.lnk");
    QVERIFY(AutoStart::enable(executable));
    QCOMPARE(AutoStart::target(), executable);
    // a shortcut to somewhere else is repaired
    QVERIFY(AutoStart::enable(QStringLiteral("C:/eski/yer/Kumat.exe")));
    QCOMPARE(AutoStart::target(), QStringLiteral("C:/eski/yer/Kumat.exe"));
    QVERIFY(AutoStart::enable(executable));
    QCOMPARE(AutoStart::target(), executable);
    AutoStart::disable();
    QVERIFY(!QFile::exists(AutoStart::entryPath()));
    QVERIFY(AutoStart::target().isEmpty());
}

void TestAutoStart::rightShortcutLeftAlone()
{
    const QString executable = QStringLiteral("C:/Kumat/Zelnor-Kumat-Senkronizasyon.exe");
    QVERIFY(AutoStart::enable(executable));
    QFile shortcut(AutoStart::entryPath());
    const QDateTime old = QDateTime::currentDateTimeUtc().addDays(-3);
    QVERIFY(shortcut.open(QIODevice::ReadWrite));
    QVERIFY(shortcut.setFileTime(old, QFileDevice::FileModificationTime));
    shortcut.close();
    QVERIFY(AutoStart::enable(executable));
    QCOMPARE(QFileInfo(AutoStart::entryPath()).lastModified().toUTC().toSecsSinceEpoch(), old.toSecsSinceEpoch());
}

void TestAutoStart::unwritableFolderFails_data()
{
    QTest::addColumn<QString>("folder");
    QTest::newRow("missing") << "missing/Startup";
    QTest::newRow("a file") << "file";
}

void TestAutoStart::unwritableFolderFails()
{
    QFETCH(QString, folder);
    QFile file(temp->filePath("file"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    AutoStart::setFolderForTesting(temp->filePath(folder));
    QVERIFY(!AutoStart::enable(QStringLiteral("C:/Kumat/Zelnor-Kumat-Senkronizasyon.exe")));
    QVERIFY(AutoStart::target().isEmpty());
}

QTEST_GUILESS_MAIN(TestAutoStart)
#include "tst_autostart_win.moc"
