#include "apiclient.h"
#include "testplatform.h"
#include "enginetestaccess.h"
#include "pathrules.h"
#include "syncengine.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString emptyDigest = QStringLiteral("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

QString referenceDigest(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
}

} // namespace

class TestLocalScan : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void emptyFolder();
    void missingFolder();
    void records();
    void keyOrderUpperCaseFirst();
    void skippedOnDisk_data();
    void skippedOnDisk();
    void engineEntries_data();
    void engineEntries();
    void linksToFilesReadThrough();
    void onlyRegularFilesRead_data();
    void onlyRegularFilesRead();
    void hashFile_data();
    void hashFile();
    void hashFileWithoutFile();
    void scanAgreesWithHashFile_data();
    void scanAgreesWithHashFile();
    void recordOfMissingFile();
    void listingsAgreeWithWatcher_data();
    void listingsAgreeWithWatcher();

private:
    void write(const QString &relative, const QByteArray &content);
    // After a pass that changed nothing here the watcher takes its folders
    // from the pass's scan instead of walking the tree again.
    void scanFindsTheWatchersFolders();

    std::unique_ptr<QTemporaryDir> temp;
    std::unique_ptr<ApiClient> api;
    std::unique_ptr<SyncEngine> engine;
    QString folder;
};

void TestLocalScan::init()
{
    temp = std::make_unique<QTemporaryDir>();
    QVERIFY(temp->isValid());
    folder = temp->filePath("Senkron");
    QVERIFY(QDir().mkpath(folder));
    api = std::make_unique<ApiClient>();
    engine = std::make_unique<SyncEngine>(api.get());
    engine->configure(folder, 5);
}

void TestLocalScan::cleanup()
{
    engine.reset();
    api.reset();
    temp->setAutoRemove(!QTest::currentTestFailed());
    temp.reset();
}

void TestLocalScan::write(const QString &relative, const QByteArray &content)
{
    const QString path = folder + '/' + relative;
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), qint64(content.size()));
}

void TestLocalScan::scanFindsTheWatchersFolders()
{
    const QStringList scanned = SyncEngineTestAccess::scannedFolders(*engine);
    QVERIFY(!scanned.isEmpty());
    QCOMPARE(scanned.first(), folder);
    engine->rebuildWatchers();
    QStringList watched = SyncEngineTestAccess::watcher(*engine).directories();
    QStringList found = scanned;
    watched.sort();
    found.sort();
    QCOMPARE(found, watched);
}

void TestLocalScan::emptyFolder()
{
    QVERIFY(QDir().mkpath(folder + "/bos/alt"));
    QVERIFY(engine->scanLocal().isEmpty());
}

void TestLocalScan::missingFolder()
{
    engine->configure(folder + "/yok", 5);
    QVERIFY(engine->scanLocal().isEmpty());
}

void TestLocalScan::records()
{
    // past the 1 MiB read chunk, so the digest spans several reads
    QByteArray large(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    QRandomGenerator generator(5);
    for (char &c : large)
        c = char(generator.bounded(256));
    write("bos.txt", QByteArray());
    write(QString::fromUtf8("Belgeler/rapor ş.pdf"), "rapor");
    write("Belgeler/2024/buyuk.bin", large);

    const QMap<QString, SyncEngine::LocalFile> files = engine->scanLocal();
    QCOMPARE(files.keys(), QStringList({"Belgeler/2024/buyuk.bin", QString::fromUtf8("Belgeler/rapor ş.pdf"),
                                        "bos.txt"}));

    const SyncEngine::LocalFile empty = files.value("bos.txt");
    QCOMPARE(empty.hash, emptyDigest);
    QCOMPARE(empty.size, qint64(0));
    QCOMPARE(empty.name, QString("bos.txt"));
    QCOMPARE(empty.absolutePath, folder + "/bos.txt");

    const SyncEngine::LocalFile big = files.value("Belgeler/2024/buyuk.bin");
    QCOMPARE(big.hash, referenceDigest(large));
    QCOMPARE(big.size, qint64(large.size()));
    QCOMPARE(big.name, QString("buyuk.bin"));
    QCOMPARE(big.absolutePath, folder + "/Belgeler/2024/buyuk.bin");

    const QString relative = QString::fromUtf8("Belgeler/rapor ş.pdf");
    const SyncEngine::LocalFile report = files.value(relative);
    QCOMPARE(report.name, QString::fromUtf8("rapor ş.pdf"));
    QCOMPARE(report.hash, referenceDigest("rapor"));

    // the times go into the state file and are compared on the next pass, so
    // they must be the file's own, to the millisecond
    const QFileInfo info(folder + '/' + relative);
    QCOMPARE(report.modifiedMs, info.fileTime(QFileDevice::FileModificationTime).toMSecsSinceEpoch());
    const QDateTime born = info.fileTime(QFileDevice::FileBirthTime);
    QCOMPARE(report.createdMs, born.isValid() ? born.toMSecsSinceEpoch() : 0);
    QVERIFY(report.modifiedMs > QDateTime::currentMSecsSinceEpoch() - 3600 * 1000);

    // a second scan of unchanged files gives the same records
    const SyncEngine::LocalFile again = engine->scanLocal().value(relative);
    QCOMPARE(again.createdMs, report.createdMs);
    QCOMPARE(again.modifiedMs, report.modifiedMs);
    QCOMPARE(again.hash, report.hash);
}

void TestLocalScan::keyOrderUpperCaseFirst()
{
    write("a.txt", "a");
    write("B.txt", "b");
    write("c/d.txt", "d");
    write("C.txt", "c");
    QCOMPARE(engine->scanLocal().keys(), QStringList({"B.txt", "C.txt", "a.txt", "c/d.txt"}));
}

void TestLocalScan::skippedOnDisk_data()
{
    QTest::addColumn<QString>("relative");
    QTest::addColumn<bool>("listed");
    QTest::newRow("partial download") << "notlar.txt.kumat-part" << false;
    QTest::newRow("partial download deeper") << "a/b/c.bin.kumat-part" << false;
    QTest::newRow("in a folder named as a partial download") << "x.kumat-part/y/z.txt" << false;
    QTest::newRow("suffix only in the middle") << "notlar.kumat-part.txt" << true;
    // the engine's own name where names ignore case
    QTest::newRow("suffix in another case") << "notlar.KUMAT-PART" << !platformNamesIgnoreCase();
    QTest::newRow("state file") << ".kumat-sync.json" << false;
    QTest::newRow("conflict copy") << ".kumat-conflicts/a/rapor-yerel-20240101-101010-001.pdf" << false;
    QTest::newRow("archived item") << ".kumat-portal-silinenler/20240101-101010-001/a.txt" << false;
    QTest::newRow("hidden file") << ".gizli" << false;
    QTest::newRow("hidden file deeper") << "a/.gizli" << false;
    QTest::newRow("inside a hidden folder") << ".gizli-klasor/a.txt" << false;
    QTest::newRow("deep inside a hidden folder") << "a/.gizli-klasor/b/c.txt" << false;
    QTest::newRow("ordinary") << "a/b/c.txt" << true;
}

void TestLocalScan::skippedOnDisk()
{
    QFETCH(QString, relative);
    QFETCH(bool, listed);
    write(relative, "icerik");
    write("komsu.txt", "komsu");
    const QMap<QString, SyncEngine::LocalFile> files = engine->scanLocal();
    QCOMPARE(files.contains(relative), listed);
    QVERIFY(files.contains("komsu.txt"));
    QCOMPARE(files.size(), listed ? 2 : 1);
    scanFindsTheWatchersFolders();
}

void TestLocalScan::engineEntries_data()
{
    // Where names beginning with a dot are not hidden (Windows), only these
    // tests keep the engine's own entries out of the scan, the watcher and
    // the intake.
    QTest::addColumn<QString>("relative");
    QTest::addColumn<bool>("whereCaseCounts");
    QTest::addColumn<bool>("whereCaseIsIgnored");
    // what only an interrupted write leaves, so that a pass removes it
    QTest::addColumn<bool>("leftover");
    QTest::newRow("state file") << ".kumat-sync.json" << true << true << false;
    QTest::newRow("below the state file") << ".kumat-sync.json/x" << true << true << false;
    QTest::newRow("state file deeper") << "alt/.kumat-sync.json" << false << false << false;
    QTest::newRow("state file, other case") << ".Kumat-Sync.json" << false << true << false;
    QTest::newRow("state file backup") << ".kumat-sync.json.bak" << false << false << false;
    QTest::newRow("conflict folder") << ".kumat-conflicts" << true << true << false;
    QTest::newRow("conflict copy") << ".kumat-conflicts/a.txt" << true << true << false;
    QTest::newRow("deep conflict copy") << ".kumat-conflicts/a/b/c.txt" << true << true << false;
    QTest::newRow("conflict folder deeper") << "alt/.kumat-conflicts/a.txt" << false << false << false;
    QTest::newRow("conflict folder, other case") << ".Kumat-Conflicts/a.txt" << false << true << false;
    QTest::newRow("similar top folder") << ".kumat-conflictsX/a.txt" << false << false << false;
    QTest::newRow("name continuing the conflict folder's") << ".kumat-conflicts-eski" << false << false << false;
    QTest::newRow("archive") << ".kumat-portal-silinenler" << true << true << false;
    QTest::newRow("deep archive") << ".kumat-portal-silinenler/x/y/z.txt" << true << true << false;
    QTest::newRow("archive deeper") << "alt/.kumat-portal-silinenler/a.txt" << false << false << false;
    QTest::newRow("partial file") << "a.kumat-part" << true << true << true;
    QTest::newRow("partial file deeper") << "x/y/z.pdf.kumat-part" << true << true << true;
    QTest::newRow("below a partial file") << "x/a.kumat-part/b.txt" << true << true << false;
    QTest::newRow("partial suffix in the middle") << "notlar.kumat-part.txt" << false << false << false;
    QTest::newRow("partial file's save temporary") << "x/a.txt.kumat-part.Ab12Cd" << true << true << true;
    QTest::newRow("state file's save temporary") << ".kumat-sync.json.Xy09zQ" << true << true << true;
    QTest::newRow("state file's save temporary deeper") << "alt/.kumat-sync.json.Xy09zQ" << false << false << false;
    QTest::newRow("partial suffix and a longer ending") << "a.kumat-part.Ab12Cd7" << false << false << false;
    QTest::newRow("partial suffix twice, the last in the middle") << "a.kumat-part.kumat-partx" << false << false << false;
    QTest::newRow("partial suffix, other case") << "a.Kumat-Part" << false << true << false;
    QTest::newRow("partial suffix, other case, non-ASCII name") << QString::fromUtf8("özet.KUMAT-PART") << false << true << false;
    QTest::newRow("partial file kept as a conflict copy") << ".kumat-conflicts/a.txt.kumat-part" << true << true << false;
    QTest::newRow("partial file in the archive") << ".kumat-portal-silinenler/1/a.kumat-part.Ab12Cd" << true << true << false;
    QTest::newRow("ordinary") << "Belgeler/rapor.pdf" << false << false << false;
}

void TestLocalScan::engineEntries()
{
    QFETCH(QString, relative);
    QFETCH(bool, whereCaseCounts);
    QFETCH(bool, whereCaseIsIgnored);
    QFETCH(bool, leftover);
    QCOMPARE(SyncEngineTestAccess::isEngineEntry(relative, Qt::CaseSensitive), whereCaseCounts);
    QCOMPARE(SyncEngineTestAccess::isEngineEntry(relative, Qt::CaseInsensitive), whereCaseIsIgnored);
    QCOMPARE(SyncEngineTestAccess::isEngineEntry(relative), platformNamesIgnoreCase() ? whereCaseIsIgnored : whereCaseCounts);
    QCOMPARE(SyncEngineTestAccess::isLeftoverOfWrite(relative, Qt::CaseSensitive), leftover);
    // a pass removes leftovers: never anything that may be the user's
    for (const Qt::CaseSensitivity cs : {Qt::CaseSensitive, Qt::CaseInsensitive}) {
        if (SyncEngineTestAccess::isLeftoverOfWrite(relative, cs))
            QVERIFY(SyncEngineTestAccess::isEngineEntry(relative, cs));
    }
}

void TestLocalScan::linksToFilesReadThrough()
{
    const QString outside = temp->filePath("disarisi");
    QVERIFY(QDir().mkpath(outside + "/alt"));
    QFile target(outside + "/hedef.txt");
    QVERIFY(target.open(QIODevice::WriteOnly));
    target.write("hedef");
    target.close();
    QFile inner(outside + "/alt/ic.txt");
    QVERIFY(inner.open(QIODevice::WriteOnly));
    inner.close();
    QVERIFY(TestPlatform::link(target.fileName(), folder + "/bag.txt"));
    QVERIFY(TestPlatform::link(outside, folder + "/klasorbag"));

    const QMap<QString, SyncEngine::LocalFile> files = engine->scanLocal();
    // a link to a folder is never walked into
    QCOMPARE(files.keys().filter(QRegularExpression("^klasorbag")), QStringList());
    if (TestPlatform::underWine())
        QEXPECT_FAIL("", "Wine does not lead a Windows program through a file link made with CreateSymbolicLinkW to "
                         "its target, so the scan finds nothing there to read",
                     Continue);
    QCOMPARE(files.keys(), QStringList({"bag.txt"}));
    if (files.contains("bag.txt")) {
        QCOMPARE(files.value("bag.txt").hash, referenceDigest("hedef"));
        QCOMPARE(files.value("bag.txt").size, qint64(5));
    }
    scanFindsTheWatchersFolders();
}

void TestLocalScan::onlyRegularFilesRead_data()
{
    // Reading any of these would never end, block, or give a digest of nothing.
    QTest::addColumn<QString>("special");
    QTest::newRow("link to an endless device") << "/dev/zero";
    QTest::newRow("link to an empty device") << "/dev/null";
    QTest::newRow("pipe") << QString();
}

void TestLocalScan::onlyRegularFilesRead()
{
    QFETCH(QString, special);
    const QString path = folder + "/ozel";
    if (special.isEmpty()) {
        if (QProcess::execute("mkfifo", {path}) != 0)
            QSKIP("no pipes here");
    } else if (!QFileInfo::exists(special) || !TestPlatform::link(special, path)) {
        QSKIP("no such device here");
    }
    write("komsu.txt", "komsu");
    QCOMPARE(engine->scanLocal().keys(), QStringList{"komsu.txt"});
    // put in a file's place after the listing: the reader still reads nothing
    QVERIFY(SyncEngineTestAccess::localFileAt(*engine, path).hash.isNull());
    QVERIFY(engine->hashFile(path).isNull());
}

void TestLocalScan::hashFile_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("empty") << 0;
    QTest::newRow("one byte") << 1;
    QTest::newRow("one chunk exactly") << 1024 * 1024;
    QTest::newRow("one chunk and a byte") << 1024 * 1024 + 1;
}

void TestLocalScan::hashFile()
{
    QFETCH(int, size);
    QByteArray content(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        content[i] = char(i * 31 + 7);
    write("dosya.bin", content);
    const QString digest = engine->hashFile(folder + "/dosya.bin");
    QCOMPARE(digest, referenceDigest(content));
    QVERIFY(!digest.isNull());
}

void TestLocalScan::hashFileWithoutFile()
{
    QVERIFY(engine->hashFile(folder + "/yok.txt").isNull());
    // a folder opens on some systems but reads fail; never a digest
    QVERIFY(QDir().mkpath(folder + "/klasor"));
    QVERIFY(engine->hashFile(folder + "/klasor").isNull());
}

void TestLocalScan::scanAgreesWithHashFile_data()
{
    QTest::addColumn<int>("size");
    const int chunk = 1024 * 1024;
    for (int size : {0, 1, 4096, chunk - 1, chunk, chunk + 1, 2 * chunk, 2 * chunk + 4095})
        QTest::addRow("%d bytes", size) << size;
}

void TestLocalScan::scanAgreesWithHashFile()
{
    // the scan reads files its own way for speed; it must see what hashFile sees
    QFETCH(int, size);
    QByteArray content(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        content[i] = char((i * 131) >> 3);
    write("dosya.bin", content);
    const SyncEngine::LocalFile file = engine->scanLocal().value("dosya.bin");
    QCOMPARE(file.hash, engine->hashFile(folder + "/dosya.bin"));
    QCOMPARE(file.hash, referenceDigest(content));
    QCOMPARE(file.size, qint64(size));
}

void TestLocalScan::recordOfMissingFile()
{
    // a file gone between listing and reading: listed without a digest
    const SyncEngine::LocalFile file = SyncEngineTestAccess::localFileAt(*engine, folder + "/gitti.txt");
    QVERIFY(file.hash.isNull());
    QCOMPARE(file.name, QString("gitti.txt"));
    QCOMPARE(file.absolutePath, folder + "/gitti.txt");
    QCOMPARE(file.size, qint64(0));
    QCOMPARE(file.createdMs, qint64(0));
    QCOMPARE(file.modifiedMs, qint64(0));
}


// The listing of each watched folder comes from the scan's own walk; the
// watcher's check lists the folder alone. Were they to differ on an unchanged
// folder, every notification (the state file written at the end of each pass)
// would start another pass; were they to agree across a change, it would be
// missed until the interval.
void TestLocalScan::listingsAgreeWithWatcher_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<bool>("changed");
    QTest::newRow("unchanged") << QString() << false;
    QTest::newRow("the engine's own state file") << QStringLiteral(".kumat-sync.json") << false;
    QTest::newRow("a partial download") << QStringLiteral("alt/b.txt.kumat-part") << false;
    QTest::newRow("a file edited") << QStringLiteral("alt/b.txt") << true;
    QTest::newRow("a hidden file") << QStringLiteral(".gizli") << true;
    QTest::newRow("a new file") << QStringLiteral("alt/yeni.txt") << true;
}

void TestLocalScan::listingsAgreeWithWatcher()
{
    QFETCH(QString, change);
    QFETCH(bool, changed);
    write("a.txt", "a");
    write("alt/b.txt", "bb");
    write("alt/iç/c.txt", "ccc");
    write(".gizli", "g");
    write(".kumat-sync.json", "{}");
    engine->rebuildWatchers();
    const QStringList watched = SyncEngineTestAccess::watcher(*engine).directories();
    QCOMPARE(watched.size(), 3);

    QHash<QString, QByteArray> listings;
    QVERIFY(engine->scanLocal(nullptr, nullptr, &listings).contains("alt/iç/c.txt"));
    QCOMPARE(listings.size(), watched.size());
    if (!change.isEmpty())
        write(change, "değişti, daha uzun");
    int differing = 0;
    for (const QString &dir : watched) {
        QVERIFY2(listings.contains(dir), qPrintable(dir));
        if (listings.value(dir) != SyncEngineTestAccess::watchedListing(*engine, dir))
            ++differing;
    }
    QCOMPARE(differing, changed ? 1 : 0);
}

QTEST_GUILESS_MAIN(TestLocalScan)
#include "tst_localscan.moc"
