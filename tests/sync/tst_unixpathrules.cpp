#include "pathrules.h"

#include <QTest>

// The Linux rule, built from its own source: what the kernel and its file
// systems take, counted in bytes of UTF-8.
class TestUnixPathRules : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void canHold_data();
    void canHold();
};

void TestUnixPathRules::canHold_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("held");

    const QString folder = "/home/ayse/Kumat"; // 16 bytes
    QTest::newRow("ordinary") << folder << QString::fromUtf8("Çalışma/öğün şarkı.txt") << true;
    QTest::newRow("Windows-only refusals") << folder << "ne?/a<b>|*\"c\x01.txt." << true;
    QTest::newRow("empty") << folder << "" << false;

    QTest::newRow("255-byte name") << folder << QString(255, 'a') << true;
    QTest::newRow("256-byte name") << folder << QString(256, 'a') << false;
    QTest::newRow("300-byte name in a folder") << folder << QString(300, 'a') + "/b" << false;
    // 128 of "ş" are 256 bytes though only 128 units
    QTest::newRow("127 two-byte letters") << folder << QString(127, QChar(u'ş')) + "a" << true;
    QTest::newRow("128 two-byte letters") << folder << QString(128, QChar(u'ş')) << false;
    // one character outside the BMP: two units, four bytes
    const QString clef = QString::fromUtf8("\xF0\x9D\x84\x9E");
    QTest::newRow("63 four-byte characters and 3") << folder << clef.repeated(63) + "abc" << true;
    QTest::newRow("64 four-byte characters") << folder << clef.repeated(64) << false;

    // PATH_MAX 4096 with its NUL: folder + "/" + path within 4,095 bytes
    const QString fill = (QString(200, 'a') + "/").repeated(20); // 4,020 bytes
    const qsizetype room = 4095 - folder.size() - 1;
    QTest::newRow("path at the limit") << folder << fill + QString(room - fill.size(), 'b') << true;
    QTest::newRow("path one past the limit") << folder << fill + QString(room - fill.size() + 1, 'b') << false;
    QTest::newRow("the folder's bytes count") << QString::fromUtf8("/home/şş") << fill + QString(4095 - 10 - 1 - fill.size() + 1, 'b') << false;

    QTest::newRow("deepest") << folder << QString("a/").repeated(deepestPathLevels - 1) + "x" << true;
    QTest::newRow("one level deeper") << folder << QString("a/").repeated(deepestPathLevels) + "x" << false;
    QTest::newRow("eight thousand levels") << folder << QString("a/").repeated(8000) + "x" << false;
}

void TestUnixPathRules::canHold()
{
    QFETCH(QString, folder);
    QFETCH(QString, path);
    QFETCH(bool, held);
    QCOMPARE(platformCanHoldPath(folder.toStdU16String(), path.toStdU16String()), held);
}

QTEST_GUILESS_MAIN(TestUnixPathRules)
#include "tst_unixpathrules.moc"
