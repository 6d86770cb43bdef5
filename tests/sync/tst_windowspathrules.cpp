#include "pathrules.h"

#include <QTest>

// The Windows name rule, built from its own source on any platform.
class TestWindowsPathRules : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void rule_data();
    void rule();
    void canHold_data();
    void canHold();
};

void TestWindowsPathRules::rule_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("kept");

    // devices, with or without extension, in any letter case, at any depth
    const char *devices[] = {"CON", "con", "Prn", "AUX", "nul", "COM1", "com9", "LPT1", "lpt9"};
    for (const char *device : devices) {
        const QString name = QString::fromLatin1(device);
        QTest::addRow("%s", device) << name << false;
        QTest::addRow("%s.txt", device) << name + ".txt" << false;
        QTest::addRow("%s.tar.gz", device) << name + ".tar.gz" << false;
        QTest::addRow("dir/%s/file", device) << "Belgeler/" + name + "/rapor.pdf" << false;
        QTest::addRow("dir\\%s", device) << "Belgeler\\" + name << false;
    }
    QTest::newRow("device with space before extension") << "aux .txt" << false;
    QTest::newRow("superscript port") << QString::fromUtf8("COM\u00B9") << false;
    QTest::newRow("superscript port, extension") << QString::fromUtf8("lpt\u00B3.log") << false;

    // names that Windows trims into another name
    QTest::newRow("trailing dot") << "a.txt." << false;
    QTest::newRow("trailing space") << "a.txt " << false;
    QTest::newRow("trailing dots") << "a.." << false;
    QTest::newRow("folder with trailing dot") << "klasor./a.txt" << false;
    QTest::newRow("folder with trailing space") << "klasor /a.txt" << false;
    QTest::newRow("dot component") << "." << false;
    QTest::newRow("dot-dot component") << "a/../b" << false;

    // ordinary names that only resemble the above
    QTest::newRow("plain") << "a" << true;
    QTest::newRow("nested") << "a/b/c.txt" << true;
    QTest::newRow("backslash nested") << "a\\b\\c.txt" << true;
    QTest::newRow("device as prefix") << "CONSOLE" << true;
    QTest::newRow("device as suffix") << "icon.png" << true;
    QTest::newRow("device with underscore") << "nul_.txt" << true;
    QTest::newRow("port ten") << "COM10" << true;
    QTest::newRow("port zero") << "LPT0" << true;
    QTest::newRow("bare port prefix") << "COM" << true;
    QTest::newRow("device after the dot") << "rapor.con" << true;
    QTest::newRow("dot file") << ".profil" << true;
    QTest::newRow("inner dots and spaces") << "a. b .c" << true;
    QTest::newRow("leading space") << " bosluk.txt" << true;
    QTest::newRow("non-ASCII") << QString::fromUtf8("Çalışma/öğün şarkı.txt") << true;
    QTest::newRow("repeated separators") << "a//b" << true;
}

void TestWindowsPathRules::rule()
{
    QFETCH(QString, path);
    QFETCH(bool, kept);
    QCOMPARE(platformKeepsPathNames(path.toStdU16String()), kept);
}

void TestWindowsPathRules::canHold_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("held");

    const QString folder = "C:/Users/ayse/Kumat";
    // what Linux and Mac names may hold and Win32 refuses
    for (const char *c : {"<", ">", "\"", "|", "?", "*", "\x01", "\x1f", "\t"})
        QTest::addRow("refused character %02x", int(uchar(*c))) << folder << "Belgeler/a" + QString::fromLatin1(c) + "b.txt" << false;
    QTest::newRow("refused character in a folder") << folder << "ne?/a.txt" << false;
    QTest::newRow("name rule still applies") << folder << "a.txt." << false;
    QTest::newRow("device still refused") << folder << "x/NUL.txt" << false;
    QTest::newRow("ordinary") << folder << QString::fromUtf8("Çalışma/öğün şarkı.txt") << true;
    QTest::newRow("empty") << folder << "" << false;

    // a name counts in UTF-16 units: 255 of "ş" are 510 bytes of UTF-8 and fit
    QTest::newRow("255-unit name") << folder << QString(255, QChar(u'ş')) << true;
    QTest::newRow("256-unit name") << folder << QString(256, QChar(u'a')) << false;
    QTest::newRow("256-unit folder name") << folder << QString(256, QChar(u'a')) + "/b" << false;
    QTest::newRow("255-unit names, backslashes") << folder << QString(255, 'a') + "\\" + QString(255, 'b') << true;

    // the long form: "\\?\" + folder + "/" + path within 32,766 units
    const QString fill = (QString(200, 'a') + "/").repeated(162); // 32,562 units, 162 levels
    const qsizetype room = 32766 - 4 - folder.size() - 1;
    QTest::newRow("path at the limit") << folder << fill + QString(room - fill.size(), 'b') << true;
    QTest::newRow("path one past the limit") << folder << fill + QString(room - fill.size() + 1, 'b') << false;
    // a share's long form is "\\?\UNC\server\...": two units more than the drive's margin
    const QString share = "//sunucu/paylasim/Kumat";
    const qsizetype shareRoom = 32766 - 6 - share.size() - 1;
    QTest::newRow("share path at the limit") << share << fill + QString(shareRoom - fill.size(), 'b') << true;
    QTest::newRow("share path one past") << share << fill + QString(shareRoom - fill.size() + 1, 'b') << false;
    QTest::newRow("share with backslashes") << "\\\\sunucu\\p" << fill + QString(32766 - 6 - 10 - 1 - fill.size() + 1, 'b') << false;

    // nesting, however short the path
    QTest::newRow("deepest") << folder << QString("a/").repeated(deepestPathLevels - 1) + "x" << true;
    QTest::newRow("one level deeper") << folder << QString("a/").repeated(deepestPathLevels) + "x" << false;
    QTest::newRow("eight thousand levels") << folder << QString("a/").repeated(8000) + "x" << false;
}

void TestWindowsPathRules::canHold()
{
    QFETCH(QString, folder);
    QFETCH(QString, path);
    QFETCH(bool, held);
    QCOMPARE(platformCanHoldPath(folder.toStdU16String(), path.toStdU16String()), held);
}

QTEST_GUILESS_MAIN(TestWindowsPathRules)
#include "tst_windowspathrules.moc"
