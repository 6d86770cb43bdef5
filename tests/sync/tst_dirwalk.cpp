#include "dirwalk.h"
#include "testplatform.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The engine's own walk must list what the library's iterator lists, so the
// scan and the watchers see the folder as before; only the links to something
// that is neither a file nor a directory, which the library lists, are left out.
class TestDirWalk : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sameAsTheLibrary_data();
    void sameAsTheLibrary();
};

namespace {

QSet<QString> libraryListing(const QString &root, QDir::Filters filters)
{
    QSet<QString> paths;
    QDirIterator it(root, filters | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext())
        paths.insert(it.next());
    return paths;
}

QSet<QString> ownListing(const QString &root, DirWalk::Listing listing)
{
    QSet<QString> paths;
    DirWalk::list(root, listing, [&paths](const QString &path) { paths.insert(path); });
    return paths;
}

bool touch(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write("x") == 1;
}

} // namespace

void TestDirWalk::sameAsTheLibrary_data()
{
    QTest::addColumn<bool>("files");
    QTest::newRow("files") << true;
    QTest::newRow("directories") << false;
}

void TestDirWalk::sameAsTheLibrary()
{
    QFETCH(bool, files);
    QTemporaryDir temp;
    QVERIFY(temp.isValid());
    const QString outside = temp.filePath("disari");
    const QString root = temp.filePath("Senkron");
    QVERIFY(QDir().mkpath(outside + "/ic"));
    QVERIFY(touch(outside + "/dosya.txt"));
    QVERIFY(QDir().mkpath(root + "/a/b/c"));
    QVERIFY(QDir().mkpath(root + "/bos"));
    QVERIFY(QDir().mkpath(root + "/.gizli/alt"));
    QVERIFY(QDir().mkpath(root + "/.kumat-conflicts/a"));
    QVERIFY(QDir().mkpath(root + "/kilitli/ic"));
    QVERIFY(touch(root + "/kok.txt"));
    QVERIFY(touch(root + "/a/b/c/derin.bin"));
    QVERIFY(touch(root + "/a/.gizli.txt"));
    QVERIFY(touch(root + "/.gizli/alt/saklı.txt"));
    QVERIFY(touch(root + "/.kumat-conflicts/a/kopya.txt"));
    QVERIFY(touch(root + "/kilitli/ic/x.txt"));
    QVERIFY(touch(root + QString::fromUtf8("/a/çalışma özeti.txt")));
    QVERIFY(TestPlatform::link(outside + "/dosya.txt", root + "/dosyabag"));
    QVERIFY(TestPlatform::link(outside, root + "/klasorbag"));
    QVERIFY(TestPlatform::link(root + "/a", root + "/a/b/geri"));
    QVERIFY(TestPlatform::link(root + "/yok", root + "/kirikbag"));
    QVERIFY(TestPlatform::link(outside, root + "/.gizlibag"));
    QCOMPARE(::mkfifo(QFile::encodeName(root + "/boru").constData(), 0600), 0);
    QVERIFY(TestPlatform::link(root + "/boru", root + "/borubag"));
    QVERIFY(TestPlatform::link("/dev/zero", root + "/a/aygitbag"));
    const QSet<QString> special{root + "/borubag", root + "/a/aygitbag"};
    // a name that is not UTF-8, and a folder of that name with a file inside
    QVERIFY(touch(root + "/a/x"));
    QCOMPARE(::rename(QFile::encodeName(root + "/a/x").constData(),
                      (QFile::encodeName(root + "/a/") + QByteArray("\xff\xfe.txt")).constData()),
             0);
    QCOMPARE(::mkdir((QFile::encodeName(root) + QByteArray("/\xc3(")).constData(), 0700), 0);
    QVERIFY(::close(::open((QFile::encodeName(root) + QByteArray("/\xc3(/ic.txt")).constData(),
                           O_CREAT | O_WRONLY, 0600))
            == 0);
    // a folder that cannot be listed
    QVERIFY(QFile::setPermissions(root + "/kilitli", QFileDevice::WriteOwner));

    const QSet<QString> expected = libraryListing(root, files ? QDir::Files : QDir::Dirs) - special;
    const QSet<QString> listed = ownListing(root, files ? DirWalk::Listing::Files : DirWalk::Listing::Dirs);
    QFile::setPermissions(root + "/kilitli", QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    // the library cannot see these names, so it cannot remove them either
    ::unlink((QFile::encodeName(root + "/a/") + QByteArray("\xff\xfe.txt")).constData());
    ::unlink((QFile::encodeName(root) + QByteArray("/\xc3(/ic.txt")).constData());
    ::rmdir((QFile::encodeName(root) + QByteArray("/\xc3(")).constData());
    QVERIFY(!expected.isEmpty());
    if (listed != expected) {
        for (const QString &path : expected - listed)
            qWarning("only the library lists %s", qPrintable(path));
        for (const QString &path : listed - expected)
            qWarning("only the walk lists %s", qPrintable(path));
    }
    QCOMPARE(listed, expected);
}

QTEST_GUILESS_MAIN(TestDirWalk)
#include "tst_dirwalk.moc"
