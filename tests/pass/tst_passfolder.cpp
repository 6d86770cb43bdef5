#include "passfixture.h"
#include "referenceserver.h"

#include <QDir>
#include <QFileInfo>
#include <QTest>

// The sync folder renamed away (or its drive unplugged) while a pass runs, or
// another directory put at its path: nothing the old folder held may be taken
// for deleted, and no pass may make a new folder at the old place.
class TestPassFolder : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY(fixture.start()); }
    void init() { QVERIFY(fixture.beginTest()); }
    void cleanup() { fixture.endTest(); }

    void folderMovedAwayLosesNothing_data();
    void folderMovedAwayLosesNothing();

private:
    PassFixture fixture;
};

// Sorted after the big file, "alt" and "z-klasör" are server folders whose
// local directories the pass makes after the download it was moved during.
static const QStringList synced{"alt/b4.txt", "b1.txt", "b2.txt", "b3.txt", "z-klasör/b5.txt"};

void TestPassFolder::folderMovedAwayLosesNothing_data()
{
    QTest::addColumn<bool>("duringDownload");
    QTest::addColumn<bool>("replaced");
    QTest::newRow("moved away during a download") << true << false;
    // another drive mounted at the old place, say
    QTest::newRow("replaced during a download") << true << true;
    QTest::newRow("replaced between passes") << false << true;
}

void TestPassFolder::folderMovedAwayLosesNothing()
{
    QFETCH(bool, duringDownload);
    QFETCH(bool, replaced);
    Device *d = fixture.device();
    for (const QString &path : synced)
        QVERIFY(fixture.server->putFile(fixture.email(), path, path.toUtf8()));
    d->pass();
    QCOMPARE(d->counters().downloaded, 5);
    const QByteArray stateBefore = d->stateFileBytes();

    const QString away = fixture.work->filePath("taşındı");
    bool moved = false;
    const auto moveAway = [&] {
        moved = QDir().rename(d->folder, away) && (!replaced || QDir().mkdir(d->folder));
    };
    if (duringDownload)
        QVERIFY(fixture.server->putFile(fixture.email(), "a-büyük.bin", QByteArray(64 * 1024, 'b')));
    d->api.setTransferLimits(64, 0);
    QMetaObject::Connection c = connect(&d->api, &ApiClient::downloadProgress, this, [&](qint64 done, qint64) {
        if (duringDownload && !moved && done > 0)
            moveAway();
    });
    d->logs.clear();
    d->notices.clear();
    d->engine.start();
    disconnect(c);
    d->api.setTransferLimits(0, 0);
    if (duringDownload) {
        QVERIFY(moved);
        QVERIFY(d->logged("Senkronizasyon klasörüne erişilemiyor; denetim durduruldu, takip kaydı değiştirilmedi: "
                          + d->folder));
        QVERIFY(!d->logged("Senkronizasyon tamamlandı."));
        QVERIFY(!d->loggedStartingWith("İndirilemedi: "));
    } else {
        moveAway();
        QVERIFY(moved);
    }
    QCOMPARE(QFileInfo::exists(d->folder), replaced);

    // the next pass of the running engine
    d->logs.clear();
    d->notices.clear();
    QVERIFY(QMetaObject::invokeMethod(&d->engine, "syncNow"));
    d->engine.stop();

    for (const QString &path : synced) {
        const QJsonObject node = fixture.server->node(fixture.email(), path);
        QVERIFY2(!node.isEmpty() && !node.value("trashed").toBool(), qPrintable(path));
    }
    Device movedAway(away);
    for (const QString &path : synced)
        QCOMPARE(movedAway.read(path), path.toUtf8());
    QCOMPARE(movedAway.stateFileBytes(), stateBefore);
    if (replaced) {
        // the new folder is paired anew from the server
        QCOMPARE(d->counters().trashed, 0);
        QCOMPARE(d->read("b1.txt"), QByteArray("b1.txt"));
    } else {
        QVERIFY(!QFileInfo::exists(d->folder));
    }
}

QTEST_GUILESS_MAIN(TestPassFolder)
#include "tst_passfolder.moc"
