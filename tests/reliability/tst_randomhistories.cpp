#include "historydriver.h"
#include "passfixture.h"

#include <QElapsedTimer>
#include <QTest>

// Random histories of edits on the desktop, on the web portal and from the
// mobile application, interleaved with passes, faults and stops, on one or two
// devices against one account. Every failure prints its seed and the shortest
// step list found that still breaks an invariant.
//
//   KUMAT_HISTORY_SEED   first seed (default: fixed for CI, "random" for a new one)
//   KUMAT_HISTORIES      number of histories
//   KUMAT_HISTORY_STEPS  steps per history
class RandomHistories : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY(fixture.start()); }
    void cleanup() { fixture.endTest(); }

    void histories()
    {
        const QByteArray seedText = qgetenv("KUMAT_HISTORY_SEED");
        quint64 seed = 20261208;
        if (seedText == "random")
            seed = QRandomGenerator::system()->generate64() % 1000000000;
        else if (!seedText.isEmpty())
            seed = seedText.toULongLong();
        const int count = qEnvironmentVariableIsSet("KUMAT_HISTORIES") ? qEnvironmentVariableIntValue("KUMAT_HISTORIES") : 12;
        const int steps = qEnvironmentVariableIsSet("KUMAT_HISTORY_STEPS") ? qEnvironmentVariableIntValue("KUMAT_HISTORY_STEPS") : 30;

        HistoryFigures figures;
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < count; ++i) {
            const quint64 historySeed = seed + quint64(i);
            const int deviceCount = historySeed % 3 == 0 ? 1 : 2;
            QVERIFY(fixture.beginTest());
            HistoryRunner runner(fixture, deviceCount, &figures);
            ++figures.histories;
            if (runner.runRandom(historySeed, steps)) {
                fixture.endTest();
                continue;
            }
            const QString violation = runner.violation();
            QString shrunkViolation = violation;
            const QList<HistoryOp> shortest = shrinkHistory(fixture, deviceCount, runner.applied(), 80, &shrunkViolation);
            QString text = QStringLiteral("seed %1 (%2 devices): %3\nshortest list found (%4 of %5 steps), which fails with: %6\n")
                               .arg(historySeed)
                               .arg(deviceCount)
                               .arg(violation)
                               .arg(shortest.size())
                               .arg(runner.applied().size())
                               .arg(shrunkViolation);
            for (int n = 0; n < shortest.size(); ++n)
                text += QStringLiteral("  %1. %2\n").arg(n + 1).arg(shortest.at(n).describe());
            qWarning().noquote() << text;
            QFAIL(qPrintable(QStringLiteral("invariant broken; rerun with KUMAT_HISTORY_SEED=%1 KUMAT_HISTORIES=1").arg(historySeed)));
        }
        qInfo().noquote() << QStringLiteral("histories: %1, operations: %2, passes: %3, faults injected: %4, stops: %5, "
                                            "steps during passes: %6, violations: %7, seconds: %8")
                                 .arg(figures.histories)
                                 .arg(figures.operations)
                                 .arg(figures.passes)
                                 .arg(figures.faults)
                                 .arg(figures.stops)
                                 .arg(figures.nestedSteps)
                                 .arg(figures.violations)
                                 .arg(clock.elapsed() / 1000.0, 0, 'f', 1);
    }

private:
    PassFixture fixture;
};

QTEST_GUILESS_MAIN(RandomHistories)
#include "tst_randomhistories.moc"
