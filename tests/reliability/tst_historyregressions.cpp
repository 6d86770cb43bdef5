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

HistoryOp step(HistoryOp::Kind kind, int device, const QString &path, const QString &path2 = QString(), int content = 0)
{
    HistoryOp op = write(device, path, content);
    op.kind = kind;
    op.path2 = path2;
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
        const QString a = QStringLiteral("a.txt");
        QTest::newRow("a file deleted here keeps the newer version another device saved")
            << 2 << QList<HistoryOp>{write(0, a, 1), pass(0), pass(1), step(HistoryOp::LocalDelete, 0, a), write(1, a, 2),
                                     pass(1), pass(0), settle()};
        QTest::newRow("a file deleted here keeps another node that took its path")
            << 1 << QList<HistoryOp>{write(0, a, 1), pass(0), step(HistoryOp::LocalDelete, 0, a),
                                     step(HistoryOp::MobileDelete, 0, a), step(HistoryOp::PortalPut, 0, a, QString(), 2),
                                     pass(0), settle()};
        {
            // the portal deleted d/e, the user made it again, another device deleted one of the new files
            const QString c = QStringLiteral("d/e/c.md");
            QTest::newRow("a folder made again is not archived by its old deletion record")
                << 2 << QList<HistoryOp>{step(HistoryOp::PortalPut, 0, QStringLiteral("d/e/Rapor.txt"), QString(), 3),
                                         step(HistoryOp::PortalDelete, 0, QStringLiteral("d/e"), QStringLiteral("flagged-is_deleted")),
                                         write(0, c, 4), write(0, QStringLiteral("d/e/yeni.txt"), 5, 1), pass(0), pass(1),
                                         step(HistoryOp::LocalDelete, 1, c), pass(1), pass(0), settle()};
        }
        {
            // the portal deleted d, the folder came back with a new file, the user changed its letter case here
            const QString b = QStringLiteral("d/b.txt");
            QTest::newRow("a folder made again is not archived after a change of its letter case")
                << 1 << QList<HistoryOp>{step(HistoryOp::PortalPut, 0, QStringLiteral("d/Rapor.txt"), QString(), 3),
                                         step(HistoryOp::PortalDelete, 0, QStringLiteral("d"), QStringLiteral("flagged-is_deleted")),
                                         write(0, b, 4), step(HistoryOp::PortalPut, 0, b, QString(), 5),
                                         step(HistoryOp::LocalRenameDir, 0, QStringLiteral("d"), QStringLiteral("D")), pass(0),
                                         pass(0), settle()};
        }
        {
            // the user replaces the sync folder with a new empty one while the pass runs
            HistoryOp replaced = pass(0);
            replaced.midAfterReplies = 1;
            replaced.nested.append(step(HistoryOp::MoveFolder, 0, QString(), QStringLiteral("new")));
            QTest::newRow("nothing is trashed when the folder is replaced during a pass")
                << 1 << QList<HistoryOp>{write(0, QStringLiteral("f/c.md"), 14, 285), pass(0), replaced, settle()};
        }
        {
            // the old folder comes back after a pass in a new empty one; its own records are the ones that count
            HistoryOp stopped = pass(0);
            stopped.stopOnProgress = true;
            QTest::newRow("a case-only rename in a folder brought back trashes the recorded file")
                << 1 << QList<HistoryOp>{write(0, QStringLiteral("g/Rapor.txt"), 5, 56), pass(0),
                                         step(HistoryOp::MoveFolder, 0, QString(), QStringLiteral("new")), stopped,
                                         step(HistoryOp::MoveFolder, 0, QString(), QStringLiteral("back")),
                                         step(HistoryOp::LocalRename, 0, QStringLiteral("g/Rapor.txt"), QStringLiteral("g/rapor.txt")),
                                         pass(0), settle()};
        }
        {
            // a pass stopped at the transfer leaves the file without a record; the next pass there uploads it
            // again after the portal deleted it, and the other device must not archive what the server lists live
            const QString c = QStringLiteral("d/c.md");
            HistoryOp stopped = pass(1);
            stopped.stopOnProgress = true;
            QTest::newRow("a file listed live again is not archived by its old deletion record")
                << 2 << QList<HistoryOp>{step(HistoryOp::PortalPut, 0, c, QString(), 4), stopped, pass(0),
                                         step(HistoryOp::PortalDelete, 0, c, QStringLiteral("tombstones")), pass(1),
                                         settle()};
        }
        QTest::newRow("a file the pass cannot read is not archived for its portal deletion")
            << 1 << QList<HistoryOp>{step(HistoryOp::PortalPut, 0, QStringLiteral("f/a.txt"), QString(), 3), pass(0),
                                     step(HistoryOp::PortalDelete, 0, QStringLiteral("f/a.txt"), QStringLiteral("tombstones")),
                                     step(HistoryOp::Unreadable, 0, QStringLiteral("f/a.txt")), pass(0),
                                     step(HistoryOp::Readable, 0, QString()), settle()};
        QTest::newRow("a folder deleted on the portal is not archived with a file the pass cannot read in it")
            << 1 << QList<HistoryOp>{step(HistoryOp::PortalPut, 0, QStringLiteral("d/b.txt"), QString(), 2), pass(0),
                                     step(HistoryOp::Unreadable, 0, QStringLiteral("d/b.txt")),
                                     step(HistoryOp::PortalDelete, 0, QStringLiteral("d"), QStringLiteral("flagged-deleted_at")),
                                     pass(0), step(HistoryOp::Readable, 0, QString()), settle()};
        QTest::newRow("a server folder named as the state file is refused")
            << 1 << QList<HistoryOp>{step(HistoryOp::HostilePut, 0, QStringLiteral(".kumat-sync.json/Rapor.txt"), QString(), 13),
                                     pass(0), write(0, a, 1), pass(0), settle()};
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
