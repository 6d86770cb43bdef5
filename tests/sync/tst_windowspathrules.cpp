#include "pathrules.h"

#include <QTest>

// The Windows name rule, built from its own source on any platform.
class TestWindowsPathRules : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void rule_data();
    void rule();
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

QTEST_GUILESS_MAIN(TestWindowsPathRules)
#include "tst_windowspathrules.moc"
