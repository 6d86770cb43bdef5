#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// The suite runs a failed test again only when Wine itself ended it at
// start-up; scripts/wine-startup-failures decides that from CTest's log. Any
// other failure it lets through would pass a run that should fail.
class TestStartupFailures : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void classify_data();
    void classify();
};

namespace {

const QByteArray startLine = "********* Start testing of TestPassCancel *********\n";
const QByteArray configLine =
    "Config: Using QtTest library 6.4.2, Qt 6.4.2 (x86_64-little_endian-llp64 shared (dynamic) release build; by GCC "
    "12-posix), windows unknown\n";

// One test's entry in LastTest.log, as CTest writes it.
QByteArray entry(const QByteArray &name, const QByteArray &output, const QByteArray &elapsed)
{
    return "1/2 Testing: " + name + "\n1/2 Test: " + name + "\nCommand: \"wine-test-run\"\nDirectory: /b\n\"" + name
        + "\" start time: Dec 11 00:54 UTC\nOutput:\n----------------------------------------------------------\n"
        + output + "<end of output>\nTest time =   3.10 sec\n----------------------------------------------------------\n"
        + "Test Failed.\n\"" + name + "\" end time: Dec 11 00:54 UTC\n\"" + name + "\" time elapsed: " + elapsed
        + "\n----------------------------------------------------------\n\n";
}

} // namespace

void TestStartupFailures::classify_data()
{
    QTest::addColumn<QByteArray>("log");
    QTest::addColumn<QByteArray>("failed");
    QTest::addColumn<QStringList>("rescued");
    QTest::addColumn<int>("exitCode");

    const QByteArray one = "12:win_tst_passcancel\n";
    QTest::newRow("start line only") << entry("win_tst_passcancel", startLine, "00:00:03") << one
                                     << QStringList{"win_tst_passcancel"} << 0;
    QTest::newRow("start and config lines") << entry("win_tst_passcancel", startLine + configLine, "00:00:03") << one
                                            << QStringList{"win_tst_passcancel"} << 0;
    QTest::newRow("Wine's own lines before the start")
        << entry("win_tst_passcancel", "0024:fixme:ntdll:NtQuerySystemInformation info_class 0x4d\n" + startLine,
                 "00:00:03")
        << one << QStringList{"win_tst_passcancel"} << 0;
    QTest::newRow("a function ran") << entry("win_tst_passcancel",
                                             startLine + configLine + "PASS   : TestPassCancel::initTestCase()\n",
                                             "00:00:03")
                                    << one << QStringList() << 1;
    QTest::newRow("a check failed")
        << entry("win_tst_passcancel",
                 startLine + configLine + "FAIL!  : TestPassCancel::stop() 'signIn' returned FALSE.\n", "00:00:03")
        << one << QStringList() << 1;
    QTest::newRow("crash report") << entry("win_tst_passcancel",
                                           "wine: Unhandled page fault on read access to 0000000000000000\n" + startLine,
                                           "00:00:03")
                                  << one << QStringList() << 1;
    QTest::newRow("hung until a minute") << entry("win_tst_passcancel", startLine, "00:01:00") << one << QStringList()
                                         << 1;
    QTest::newRow("no start line") << entry("win_tst_passcancel", "", "00:00:01") << one << QStringList() << 1;
    // the test certificates are made so that Wine's check accepts them: a
    // refusal is a fault of the run, no longer rescued
    const QByteArray broken = "QWARN  : TestPassCancel::initTestCase() kumat-test: the system's certificate check finds "
                              "a signature of the test certificates invalid\n";
    const QByteArray thenFailed = "FAIL!  : TestPassCancel::initTestCase() 'TestTls::ensure()' returned FALSE. ()\n";
    QTest::newRow("certificate check broken")
        << entry("win_tst_passcancel", startLine + configLine + broken + thenFailed + thenFailed, "00:00:40") << one
        << QStringList() << 1;
    QTest::newRow("certificate check broken after a failure")
        << entry("win_tst_passcancel", startLine + configLine + thenFailed + broken, "00:00:40") << one << QStringList()
        << 1;
    QTest::newRow("certificate check broken, then a crash")
        << entry("win_tst_passcancel", startLine + broken + "wine: Unhandled page fault on read access\n", "00:00:04")
        << one << QStringList() << 1;
    QTest::newRow("a Linux test") << entry("tst_passcancel", startLine, "00:00:03") << QByteArray("12:tst_passcancel\n")
                                  << QStringList() << 1;
    QTest::newRow("not in the log") << QByteArray() << one << QStringList() << 1;
    QTest::newRow("one of two")
        << entry("win_tst_passcancel", startLine, "00:00:03")
               + entry("win_tst_passguard", startLine + configLine + "FAIL!  : TestPassGuard::guard() x\n", "00:00:09")
        << QByteArray("12:win_tst_passcancel\n13:win_tst_passguard\n") << QStringList{"win_tst_passcancel"} << 1;
    QTest::newRow("both") << entry("win_tst_passcancel", startLine, "00:00:03")
                                 + entry("win_tst_passguard", startLine + configLine, "00:00:02")
                          << QByteArray("12:win_tst_passcancel\n13:win_tst_passguard\n")
                          << QStringList{"win_tst_passcancel", "win_tst_passguard"} << 0;
}

void TestStartupFailures::classify()
{
    QFETCH(QByteArray, log);
    QFETCH(QByteArray, failed);
    QFETCH(QStringList, rescued);
    QFETCH(int, exitCode);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const auto written = [&dir](const QString &name, const QByteArray &content) {
        QFile file(dir.filePath(name));
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    };
    QVERIFY(written("LastTest.log", log));
    QVERIFY(written("LastTestsFailed.log", failed));

    QProcess reader;
    reader.start(qEnvironmentVariable("KUMAT_STARTUP_FAILURES"),
                 {dir.filePath("LastTest.log"), dir.filePath("LastTestsFailed.log")});
    QVERIFY(reader.waitForFinished(30000));
    QCOMPARE(reader.exitStatus(), QProcess::NormalExit);
    QCOMPARE(QString::fromUtf8(reader.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts), rescued);
    QCOMPARE(reader.exitCode(), exitCode);
}

QTEST_GUILESS_MAIN(TestStartupFailures)
#include "tst_startupfailures.moc"
