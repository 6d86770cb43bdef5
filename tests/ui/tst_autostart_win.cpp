#include "autostart.h"
#include "testplatform.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <windows.h>

namespace {

// Qt's file information follows a .lnk to its target; the shortcut's own time is wanted
qint64 modifiedSeconds(const QString &path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(path).utf16()),
                              GetFileExInfoStandard, &data))
        return -1;
    const quint64 ticks = (quint64(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
    return qint64(ticks / 10000000ULL) - 11644473600LL;
}

// the program the shortcut starts exists, as it does when the program writes its own
QString makeExecutable(const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write("MZ");
    return path;
}

} // namespace

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
    QTest::addColumn<QString>("relative");
    QTest::newRow("plain") << "Program Files/Zelnor/Zelnor-Kumat-Senkronizasyon.exe";
    QTest::newRow("turkish and blanks") << QStringLiteral("Araçlar/Ayşe Öztürk/Zelnor-Kumat-Senkronizasyon.exe");
    QTest::newRow("single quote") << "Users/O'Brien/Kumat/Zelnor-Kumat-Senkronizasyon.exe";
    QTest::newRow("ampersand and percent") << "A&B %PATH%/Kumat.exe";
}

void TestAutoStart::writtenAndReadBack()
{
    QFETCH(QString, relative);
    const QString executable = makeExecutable(temp->filePath("programs/" + relative));
    const QString elsewhere = makeExecutable(temp->filePath("programs/eski/yer/Kumat.exe"));
    AutoStart::setFolderForTesting(temp->filePath("Startup"));
    QVERIFY(QDir().mkpath(temp->filePath("Startup")));
    QCOMPARE(AutoStart::entryPath(), temp->filePath("Startup/Zelnor Kumat Senkronizasyon.lnk"));
    const bool written = AutoStart::enable(executable);
    if (TestPlatform::underWine() && QByteArray(QTest::currentDataTag()) == "turkish and blanks")
        QEXPECT_FAIL("", "Wine keeps a link's path in the ANSI code page: the ş comes back as s", Continue);
    QCOMPARE(AutoStart::target(), executable);
    // what enable() says is what the read-back shows, never success over a wrong shortcut
    QCOMPARE(written, AutoStart::target() == executable);
    // a shortcut to somewhere else is repaired
    QVERIFY(AutoStart::enable(elsewhere));
    QCOMPARE(AutoStart::target(), elsewhere);
    QCOMPARE(AutoStart::enable(executable), written);
    AutoStart::disable();
    QCOMPARE(QDir(temp->filePath("Startup")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList());
    QVERIFY(AutoStart::target().isEmpty());
}

void TestAutoStart::rightShortcutLeftAlone()
{
    const QString executable = makeExecutable(temp->filePath("Kumat/Zelnor-Kumat-Senkronizasyon.exe"));
    QVERIFY(AutoStart::enable(executable));
    QFile shortcut(AutoStart::entryPath());
    const QDateTime old = QDateTime::currentDateTimeUtc().addDays(-3);
    QVERIFY(shortcut.open(QIODevice::ReadWrite));
    QVERIFY(shortcut.setFileTime(old, QFileDevice::FileModificationTime));
    shortcut.close();
    QVERIFY(AutoStart::enable(executable));
    QCOMPARE(modifiedSeconds(AutoStart::entryPath()), old.toSecsSinceEpoch());
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
