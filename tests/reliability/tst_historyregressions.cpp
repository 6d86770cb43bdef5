#include "historydriver.h"
#include "passfixture.h"

#include <QTest>

// Step lists that the random histories once broke, kept as they were shrunk,
// each replayed with every invariant checked after every pass.
Q_DECLARE_METATYPE(QList<HistoryOp>)

namespace {

HistoryOp write(int device, const QString &path, int content, int size = 100)
{
    HistoryOp op;
    op.kind = HistoryOp::LocalWrite;
    op.device = device;
    op.path = path;
    op.content = content;
    op.size = size;
    return op;
}

HistoryOp pass(int device)
{
    HistoryOp op;
    op.kind = HistoryOp::Pass;
    op.device = device;
    return op;
}

HistoryOp settle()
{
    HistoryOp op;
    op.kind = HistoryOp::Settle;
    return op;
}

} // namespace

class HistoryRegressions : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY(fixture.start()); }
    void cleanup() { fixture.endTest(); }

    void replay_data()
    {
        QTest::addColumn<int>("devices");
        QTest::addColumn<QList<HistoryOp>>("steps");

        {
            // stopped as the folder for a new file was made: the upload went ahead
            HistoryOp stopped = pass(0);
            stopped.stopAfterReplies = 2;
            QTest::newRow("no upload after a stop during folder creation")
                << 1 << QList<HistoryOp>{write(0, QStringLiteral("f/a.txt"), 2), stopped, settle()};
        }
        {
            // stopped as the server's side of a conflict was kept: the upload went ahead
            HistoryOp stopped = pass(0);
            stopped.stopAfterReplies = 2;
            HistoryOp portal;
            portal.kind = HistoryOp::PortalPut;
            portal.path = QStringLiteral("a.txt");
            portal.content = 3;
            portal.size = 50;
            QTest::newRow("no upload after a stop while the conflict copy is kept")
                << 1 << QList<HistoryOp>{write(0, QStringLiteral("a.txt"), 1), pass(0), portal, write(0, QStringLiteral("a.txt"), 4),
                                         stopped, settle()};
        }
        {
            // the user saves the file while the server's newer version of it downloads
            HistoryOp portal;
            portal.kind = HistoryOp::PortalPut;
            portal.path = QStringLiteral("a.txt");
            portal.content = 3;
            portal.size = 50;
            HistoryOp during = pass(0);
            during.midAfterReplies = 2;
            during.nested.append(write(0, QStringLiteral("a.txt"), 4, 70));
            QTest::newRow("a save during the download of a newer version is kept")
                << 1 << QList<HistoryOp>{write(0, QStringLiteral("a.txt"), 1), pass(0), portal, during, settle()};
        }
    }

    void replay()
    {
        QFETCH(int, devices);
        QFETCH(QList<HistoryOp>, steps);
        QVERIFY(fixture.beginTest());
        HistoryRunner runner(fixture, devices, nullptr);
        QVERIFY2(runner.replay(steps), qPrintable(runner.violation()));
    }

private:
    PassFixture fixture;
};

QTEST_GUILESS_MAIN(HistoryRegressions)
#include "tst_historyregressions.moc"
