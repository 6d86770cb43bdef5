#include "uitest.h"

#include <QRegularExpression>
#include <QTextBlock>
#include <QTextDocument>

using namespace UiTest;

using Progress = QList<QPair<qint64, qint64>>;

namespace {

QString title(const QString &up, const QString &down)
{
    return QStringLiteral("Zelnor Kumat Senkronizasyon — Yükleme: %1 MiB/sn | İndirme: %2 MiB/sn").arg(up, down);
}

} // namespace

// The log, the running look of the form, the speed counters and notifications.
class TestMainWindowStatus : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { clearStore(); }
    void logLines();
    void runningLook_data();
    void runningLook();
    void speedCounting_data();
    void speedCounting();
    void speedShownForOneSecond();
    void stoppingZeroesAtOnce();
    void notifications_data();
    void notifications();
    void trayEntryGoesByEngineState();
    void closingWithoutTrayStoresAndCloses();
};

void TestMainWindowStatus::logLines()
{
    MainWindow w;
    MainWindowTestAccess a{w};
    QTextEdit *log = a.child<QTextEdit>("logView");
    QVERIFY(QMetaObject::invokeMethod(&w, "appendLog", Q_ARG(QString, QStringLiteral("Eşitleme başladı"))));
    // markup in a message (a file name, a server text) shows as written
    QVERIFY(QMetaObject::invokeMethod(&w, "appendLog", Q_ARG(QString, QStringLiteral("<b>rapor</b> & <img src=x>.txt"))));
    QCOMPARE(log->document()->blockCount(), 2);
    const QRegularExpression stamp(QStringLiteral("^\\[\\d\\d:\\d\\d:\\d\\d\\] "));
    const QString first = log->document()->findBlockByNumber(0).text();
    const QString second = log->document()->findBlockByNumber(1).text();
    QVERIFY2(stamp.match(first).hasMatch(), qPrintable(first));
    QCOMPARE(first.mid(11), QStringLiteral("Eşitleme başladı"));
    QCOMPARE(second.mid(11), QStringLiteral("<b>rapor</b> & <img src=x>.txt"));
    QVERIFY(!log->toHtml().contains(QStringLiteral("<b>rapor")));
}

void TestMainWindowStatus::runningLook_data()
{
    QTest::addColumn<bool>("running");
    QTest::newRow("running") << true;
    QTest::newRow("stopped") << false;
}

void TestMainWindowStatus::runningLook()
{
    QFETCH(bool, running);
    MainWindow w;
    MainWindowTestAccess a{w};
    // these three are not the engine's business
    a.check("autoStartCheck")->setEnabled(false);
    a.button("browseButton")->setEnabled(false);
    a.button("updateButton")->setEnabled(false);

    QVERIFY(QMetaObject::invokeMethod(&w, "updateRunning", Q_ARG(bool, running)));
    QCOMPARE(a.button("connectButton")->isEnabled(), !running);
    QCOMPARE(a.button("stopButton")->isEnabled(), running);
    for (const char *name : {"serverEdit", "emailEdit", "passwordEdit", "folderEdit"})
        QCOMPARE(a.edit(name)->isEnabled(), !running);
    for (const char *name : {"intervalSpin", "downloadLimitSpin", "uploadLimitSpin"})
        QCOMPARE(a.spin(name)->isEnabled(), !running);
    QCOMPARE(a.check("rememberPasswordCheck")->isEnabled(), !running);
    QVERIFY(!a.check("autoStartCheck")->isEnabled());
    QVERIFY(!a.button("browseButton")->isEnabled());
    QVERIFY(!a.button("updateButton")->isEnabled());
    QCOMPARE(a.statusLabel()->text(), running ? QStringLiteral("Senkronizasyon etkin") : QStringLiteral("Durduruldu"));
}

void TestMainWindowStatus::speedCounting_data()
{
    QTest::addColumn<bool>("upload");
    QTest::addColumn<Progress>("reports");
    QTest::addColumn<qint64>("counted");
    QTest::addColumn<qint64>("last");

    for (bool upload : {true, false}) {
        const char *dir = upload ? "upload" : "download";
        QTest::addRow("%s: one transfer", dir) << upload << Progress{{100, 1000}, {300, 1000}} << qint64(300) << qint64(300);
        // the first ends exactly at its total, the second's first report counts in full
        QTest::addRow("%s: back to back", dir)
            << upload << Progress{{500, 1000}, {1000, 1000}, {200, 800}} << qint64(1200) << qint64(200);
        QTest::addRow("%s: same size twice", dir)
            << upload << Progress{{1000, 1000}, {1000, 1000}} << qint64(2000) << qint64(0);
        // without a total nothing resets; a smaller value starts a new transfer
        QTest::addRow("%s: unknown totals", dir)
            << upload << Progress{{500, 0}, {900, -1}, {300, 0}} << qint64(1200) << qint64(300);
        QTest::addRow("%s: negative ignored", dir) << upload << Progress{{-1, 100}, {50, 100}} << qint64(50) << qint64(50);
        QTest::addRow("%s: repeated value", dir) << upload << Progress{{400, 1000}, {400, 1000}} << qint64(400) << qint64(400);
    }
}

void TestMainWindowStatus::speedCounting()
{
    QFETCH(bool, upload);
    QFETCH(Progress, reports);
    QFETCH(qint64, counted);
    QFETCH(qint64, last);
    MainWindow w;
    MainWindowTestAccess a{w};
    a.speedTimer()->stop();
    const char *slot = upload ? "updateUploadSpeed" : "updateDownloadSpeed";
    for (const auto &[done, total] : reports)
        QVERIFY(QMetaObject::invokeMethod(&w, slot, Q_ARG(qint64, done), Q_ARG(qint64, total)));
    QCOMPARE(upload ? a.uploadBytesThisSecond() : a.downloadBytesThisSecond(), counted);
    QCOMPARE(upload ? a.lastUploadProgress() : a.lastDownloadProgress(), last);
    // the other direction is untouched
    QCOMPARE(upload ? a.downloadBytesThisSecond() : a.uploadBytesThisSecond(), qint64(0));

    a.tick();
    QCOMPARE(upload ? a.uploadRate() : a.downloadRate(), counted);
    QCOMPARE(upload ? a.uploadBytesThisSecond() : a.downloadBytesThisSecond(), qint64(0));
}

void TestMainWindowStatus::speedShownForOneSecond()
{
    MainWindow w;
    MainWindowTestAccess a{w};
    a.speedTimer()->stop();
    QVERIFY(QMetaObject::invokeMethod(&w, "updateUploadSpeed", Q_ARG(qint64, 1048576), Q_ARG(qint64, 0)));
    QVERIFY(QMetaObject::invokeMethod(&w, "updateUploadSpeed", Q_ARG(qint64, 1572864), Q_ARG(qint64, 0)));
    QVERIFY(QMetaObject::invokeMethod(&w, "updateDownloadSpeed", Q_ARG(qint64, 5243), Q_ARG(qint64, 10000)));
    a.tick();
    QCOMPARE(w.windowTitle(), title("1.50", "0.01"));
    // a second without progress shows zero again
    a.tick();
    QCOMPARE(w.windowTitle(), title("0.00", "0.00"));
}

void TestMainWindowStatus::stoppingZeroesAtOnce()
{
    MainWindow w;
    MainWindowTestAccess a{w};
    a.speedTimer()->stop();
    QVERIFY(QMetaObject::invokeMethod(&w, "updateDownloadSpeed", Q_ARG(qint64, 3 * 1048576), Q_ARG(qint64, 0)));
    a.tick();
    QCOMPARE(w.windowTitle(), title("0.00", "3.00"));
    QVERIFY(QMetaObject::invokeMethod(&w, "updateDownloadSpeed", Q_ARG(qint64, 4 * 1048576), Q_ARG(qint64, 0)));
    QVERIFY(QMetaObject::invokeMethod(&w, "updateRunning", Q_ARG(bool, false)));
    QCOMPARE(w.windowTitle(), title("0.00", "0.00"));
    QCOMPARE(a.downloadBytesThisSecond(), qint64(0));
    QCOMPARE(a.lastDownloadProgress(), qint64(0));
    // a transfer after the stop counts from zero
    QVERIFY(QMetaObject::invokeMethod(&w, "updateDownloadSpeed", Q_ARG(qint64, 1048576), Q_ARG(qint64, 0)));
    a.tick();
    QCOMPARE(w.windowTitle(), title("0.00", "1.00"));
}

void TestMainWindowStatus::notifications_data()
{
    QTest::addColumn<int>("severity");
    QTest::addColumn<int>("icon");

    QTest::newRow("above critical") << 7 << int(QMessageBox::Critical);
    QTest::newRow("critical") << 2 << int(QMessageBox::Critical);
    QTest::newRow("warning") << 1 << int(QMessageBox::Warning);
    QTest::newRow("information") << 0 << int(QMessageBox::Information);
    QTest::newRow("below information") << -3 << int(QMessageBox::Information);
}

void TestMainWindowStatus::notifications()
{
    QFETCH(int, severity);
    QFETCH(int, icon);
    MainWindow w;
    BoxAnswerer boxes;
    QVERIFY(QMetaObject::invokeMethod(&w, "showSyncNotification", Q_ARG(QString, QStringLiteral("Senkronizasyon")),
                                      Q_ARG(QString, QStringLiteral("3 dosya indirildi.")), Q_ARG(int, severity)));
    QCOMPARE(boxes.boxes.size(), 1);
    QCOMPARE(int(boxes.boxes.first().icon), icon);
    QCOMPARE(boxes.boxes.first().title, QStringLiteral("Senkronizasyon"));
    QCOMPARE(boxes.boxes.first().text, QStringLiteral("3 dosya indirildi."));
    QCOMPARE(boxes.boxes.first().buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
}

void TestMainWindowStatus::trayEntryGoesByEngineState()
{
    // the engine is not running: pause/resume starts a connect with all its checks
    MainWindow w;
    MainWindowTestAccess a{w};
    QCoreApplication::processEvents();
    a.edit("emailEdit")->clear();
    BoxAnswerer boxes;
    QVERIFY(QMetaObject::invokeMethod(&w, "toggleSyncFromTray"));
    QCOMPARE(boxes.titles(), QStringList{"Eksik bilgi"});
}

void TestMainWindowStatus::closingWithoutTrayStoresAndCloses()
{
    MainWindow w;
    MainWindowTestAccess a{w};
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    a.edit("emailEdit")->setText("ayse@example.com");
    QVERIFY(w.close());
    QVERIFY(!w.isVisible());
    QCOMPARE(store()->value("email").toString(), QStringLiteral("ayse@example.com"));
    // nothing is left to reach the program: closing ends it
    QVERIFY(a.quitting());
}

KUMAT_UI_TEST_MAIN(TestMainWindowStatus)
#include "tst_mainwindow_status.moc"
