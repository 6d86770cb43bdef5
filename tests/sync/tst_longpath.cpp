#include "longpath.h"

#include <QTest>

// The Windows long form every path of the folder is handed to the system in,
// built from its own source on any platform.
class TestLongPath : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void windowsForm_data();
    void windowsForm();
};

void TestLongPath::windowsForm_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("currentDir");
    QTest::addColumn<QString>("longForm");

    const QString here = "C:/Users/ayse";
    QTest::newRow("drive, forward slashes") << "C:/Kumat/a.txt" << here << "\\\\?\\C:\\Kumat\\a.txt";
    QTest::newRow("drive, backslashes") << "D:\\Kumat\\a.txt" << here << "\\\\?\\D:\\Kumat\\a.txt";
    QTest::newRow("drive, mixed") << "c:/Kumat\\alt/a.txt" << here << "\\\\?\\C:\\Kumat\\alt\\a.txt";
    QTest::newRow("drive root") << "C:/" << here << "\\\\?\\C:\\";
    QTest::newRow("dots cleaned away") << "C:/Kumat/./alt/../a.txt" << here << "\\\\?\\C:\\Kumat\\a.txt";
    QTest::newRow("nothing above the root") << "C:/../a.txt" << here << "\\\\?\\C:\\a.txt";
    QTest::newRow("doubled separators") << "C:/Kumat//a.txt" << here << "\\\\?\\C:\\Kumat\\a.txt";
    QTest::newRow("trailing separator") << "C:/Kumat/" << here << "\\\\?\\C:\\Kumat";
    QTest::newRow("share") << "//sunucu/paylasim/Kumat/a.txt" << here << "\\\\?\\UNC\\sunucu\\paylasim\\Kumat\\a.txt";
    QTest::newRow("share, backslashes") << "\\\\sunucu\\paylasim\\a.txt" << here << "\\\\?\\UNC\\sunucu\\paylasim\\a.txt";
    QTest::newRow("share, dots") << "//sunucu/paylasim/x/../a.txt" << here << "\\\\?\\UNC\\sunucu\\paylasim\\a.txt";
    QTest::newRow("already long") << "\\\\?\\C:\\Kumat\\a.txt" << here << "\\\\?\\C:\\Kumat\\a.txt";
    QTest::newRow("already long, forward slashes") << "//?/C:/Kumat/a.txt" << here << "\\\\?\\C:\\Kumat\\a.txt";
    QTest::newRow("already long share") << "\\\\?\\UNC\\s\\p\\a.txt" << here << "\\\\?\\UNC\\s\\p\\a.txt";
    QTest::newRow("device") << "\\\\.\\pipe\\kumat" << here << "\\\\.\\pipe\\kumat";
    QTest::newRow("relative") << "Kumat/a.txt" << here << "\\\\?\\C:\\Users\\ayse\\Kumat\\a.txt";
    QTest::newRow("relative, up") << "../x/a.txt" << here << "\\\\?\\C:\\Users\\x\\a.txt";
    QTest::newRow("relative, current backslashed") << "a.txt" << "C:\\Users\\ayse" << "\\\\?\\C:\\Users\\ayse\\a.txt";
    QTest::newRow("relative below a share") << "a.txt" << "//s/p/dir" << "\\\\?\\UNC\\s\\p\\dir\\a.txt";
    QTest::newRow("rooted on the current drive") << "/Kumat/a.txt" << here << "\\\\?\\C:\\Kumat\\a.txt";
    QTest::newRow("rooted on the current share") << "/Kumat/a.txt" << "//s/p/dir" << "\\\\?\\UNC\\s\\p\\Kumat\\a.txt";
    QTest::newRow("drive-relative, current drive") << "C:a.txt" << here << "\\\\?\\C:\\Users\\ayse\\a.txt";
    QTest::newRow("drive-relative, other drive") << "D:a.txt" << here << "\\\\?\\D:\\a.txt";
    QTest::newRow("non-ASCII") << QString::fromUtf8("C:/Çalışma/şarkı.txt") << here
                               << QString::fromUtf8("\\\\?\\C:\\Çalışma\\şarkı.txt");
    // what the 260-character limit would refuse, all of it kept
    const QString deep = QString("klasor-").repeated(60); // 420 characters
    QTest::newRow("beyond 260") << "C:/Kumat/" + deep + "/a.txt" << here << "\\\\?\\C:\\Kumat\\" + deep + "\\a.txt";
}

void TestLongPath::windowsForm()
{
    QFETCH(QString, path);
    QFETCH(QString, currentDir);
    QFETCH(QString, longForm);
    QCOMPARE(windowsLongPath(path, currentDir), longForm);
}

QTEST_GUILESS_MAIN(TestLongPath)
#include "tst_longpath.moc"
