#include "passfixture.h"
#include "referenceserver.h"

#include <QFile>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

// The guard against mass removal: above its bound a pass removes nothing on
// that side and asks, and the answer is carried out in the next pass.
class TestPassGuard : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY(fixture.start()); }
    void init() { QVERIFY(fixture.beginTest()); }
    void cleanup() { fixture.endTest(); }

    void massRemovalWaitsForAnswer_data();
    void massRemovalWaitsForAnswer();

private:
    QJsonObject node(const QString &path) { return fixture.server->node(fixture.email(), path); }

    PassFixture fixture;
};


void TestPassGuard::massRemovalWaitsForAnswer_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<int>("gone");    // files that vanish from one side
    QTest::addColumn<int>("answer");  // -1 none asked for, 0 keep them, 1 remove them
    QTest::newRow("server lists nothing, keep them") << "server" << 20 << 0;
    QTest::newRow("server lists nothing, remove them") << "server" << 20 << 1;
    QTest::newRow("local folder emptied, keep them") << "local" << 20 << 0;
    QTest::newRow("local folder emptied, remove them") << "local" << 20 << 1;
    QTest::newRow("a few files deleted here") << "local" << 5 << -1;
    QTest::newRow("a few files deleted on the server") << "server" << 5 << -1;
    QTest::newRow("another account") << "account" << 20 << -1;
}

void TestPassGuard::massRemovalWaitsForAnswer()
{
    // A pass that would remove more than a quarter of the recorded files, and
    // at least twenty, removes none of them on that side, does the rest, and
    // asks once; the files stay, pass after pass, until the user answers.
    QFETCH(QString, situation);
    QFETCH(int, gone);
    QFETCH(int, answer);
    QMap<QString, QByteArray> files;
    for (int i = 0; i < 20; ++i)
        files.insert(QStringLiteral("belgeler/dosya-%1.txt").arg(i, 2, 10, QLatin1Char('0')), QByteArray::number(i));
    Device *d = fixture.synced(files);
    QCOMPARE(d->savedState().size(), 20);
    const QStringList paths = files.keys();
    QSignalSpy asked(&d->engine, &SyncEngine::removalsNeedAnswer);
    const int side = situation == "server" ? SyncEngine::LocalRemoval : SyncEngine::ServerDeletion;

    for (int i = 0; i < gone; ++i) {
        if (situation == "server")
            QVERIFY(fixture.server->mobileDelete(fixture.email(), paths.at(i)));
        else if (situation == "local")
            QVERIFY(QFile::remove(d->path(paths.at(i))));
    }
    const QString other = QStringLiteral("baska-") + fixture.email();
    if (situation == "account") {
        QVERIFY(fixture.server->addUser(other, fixture.password()));
        QVERIFY(d->signIn(fixture.server->baseUrl(), other, fixture.password()));
    }
    d->pass();
    d->pass();

    if (answer < 0) {
        // below the bound, or nothing to remove at all: no question
        QCOMPARE(asked.size(), 0);
        const int removed = situation == "account" ? 0 : gone;
        QCOMPARE(d->countLogged("Toplu silme"), 0);
        QCOMPARE(d->savedState().size(), 20 - removed);
        if (situation == "account")
            QCOMPARE(fixture.server->list(other).size(), 21); // the folder and its 20 files
        return;
    }
    QCOMPARE(asked.size(), 1);
    QCOMPARE(asked.first().at(0).toInt(), side);
    QCOMPARE(asked.first().at(1).toInt(), 20);
    QCOMPARE(asked.first().at(2).toStringList(), paths.mid(0, 10));
    // nothing removed on that side, nothing brought back from the other
    QCOMPARE(d->counters().localDeleted + d->counters().trashed, 0);
    QCOMPARE(d->counters().downloaded + d->counters().uploaded, 0);
    QCOMPARE(d->savedState().size(), 20);
    for (const QString &path : paths) {
        if (situation == "server")
            QVERIFY(d->exists(path));
        else
            QVERIFY(!node(path).value("trashed").toBool());
    }

    d->engine.answerRemovals(side, answer == 1);
    d->pass();
    if (answer == 0) {
        // the side that lost them is made whole again from the other
        QCOMPARE(situation == "server" ? d->counters().uploaded : d->counters().downloaded, 20);
        QCOMPARE(d->counters().localDeleted + d->counters().trashed, 0);
        for (const QString &path : paths) {
            QCOMPARE(d->read(path), files.value(path));
            QVERIFY(!node(path).isEmpty() && !node(path).value("trashed").toBool());
        }
    } else if (situation == "server") {
        QCOMPARE(d->counters().localDeleted, 20);
    } else {
        QCOMPARE(d->counters().trashed, 20);
        for (const QString &path : paths)
            QVERIFY(node(path).value("trashed").toBool());
    }
    QCOMPARE(d->savedState().size(), answer == 0 ? 20 : 0);
    d->pass();
    QCOMPARE(asked.size(), 1);
}

QTEST_GUILESS_MAIN(TestPassGuard)
#include "tst_passguard.moc"
