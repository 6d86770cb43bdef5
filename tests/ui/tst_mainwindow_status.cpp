#include "uitest.h"
#include "../sync/enginetestaccess.h"

#include <QRegularExpression>
#include <QSignalSpy>
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
    void removalQuestion_data();
    void removalQuestion();
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
    QTest::addColumn<QList<int>>("severities");
    QTest::addColumn<int>("shown"); // which notification the box shows, -1 for no box
    QTest::addColumn<int>("icon");
    QTest::addColumn<QString>("status");

    const int critical = int(QMessageBox::Critical);
    const int warning = int(QMessageBox::Warning);
    QTest::newRow("above critical") << QList<int>{7} << 0 << critical << "Hazır";
    QTest::newRow("critical") << QList<int>{2} << 0 << critical << "Hazır";
    QTest::newRow("warning") << QList<int>{1} << 0 << warning << "Hazır";
    // information needs no box: the status line and the log carry it
    QTest::newRow("information") << QList<int>{0} << -1 << 0 << "Başlık 0";
    QTest::newRow("below information") << QList<int>{-3} << -1 << 0 << "Başlık 0";
    // one box at a time, keeping the most serious news
    QTest::newRow("critical, then warning") << QList<int>{2, 1} << 0 << critical << "Hazır";
    QTest::newRow("warning, then critical") << QList<int>{1, 2} << 1 << critical << "Hazır";
    QTest::newRow("critical twice") << QList<int>{2, 2} << 1 << critical << "Hazır";
    QTest::newRow("warning, then information") << QList<int>{1, 0, 1} << 2 << warning << "Başlık 1";
    QTest::newRow("a summary after every pass") << QList<int>{0, 0, 0} << -1 << 0 << "Başlık 2";
}

void TestMainWindowStatus::notifications()
{
    if (QSystemTrayIcon::isSystemTrayAvailable())
        QSKIP("this platform has a tray here (Windows always has one); the tray's part is tested apart");
    QFETCH(QList<int>, severities);
    QFETCH(int, shown);
    QFETCH(int, icon);
    QFETCH(QString, status);
    MainWindow w;
    MainWindowTestAccess a{w};
    BoxAnswerer boxes;
    // texts from outside the program show as written, markup and all
    const auto message = [](int i) { return QStringLiteral("<a href=\"https://kimlik.example\">%1 dosya</a>").arg(i); };
    for (int i = 0; i < severities.size(); ++i) {
        QVERIFY(QMetaObject::invokeMethod(&w, "showSyncNotification", Q_ARG(QString, QStringLiteral("Başlık %1").arg(i)),
                                          Q_ARG(QString, message(i)), Q_ARG(int, severities.at(i))));
        QCoreApplication::processEvents();
    }
    // nothing waited for an answer: the engine goes on
    QCOMPARE(boxes.titles(), QStringList());
    const QList<QMessageBox *> open = a.openNotices();
    QCOMPARE(open.size(), shown < 0 ? 0 : 1);
    if (shown >= 0) {
        QMessageBox *box = open.first();
        QCOMPARE(int(box->icon()), icon);
        QCOMPARE(box->windowTitle(), QStringLiteral("Başlık %1").arg(shown));
        QCOMPARE(box->text(), message(shown));
        QCOMPARE(box->textFormat(), Qt::PlainText);
        QCOMPARE(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
        box->button(QMessageBox::Ok)->click();
        QTRY_VERIFY(a.openNotices().isEmpty());
    }
    QCOMPARE(a.statusLabel()->text(), status);
    QCOMPARE(a.statusLabel()->textFormat(), Qt::PlainText);
    // every notification reaches the log, whichever the box shows
    const QString log = a.child<QTextEdit>("logView")->toPlainText();
    for (int i = 0; i < severities.size(); ++i)
        QVERIFY2(log.contains(QStringLiteral("] Başlık %1: ").arg(i) + message(i)), qPrintable(log));
}

void TestMainWindowStatus::removalQuestion_data()
{
    QTest::addColumn<int>("side");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("answered");
    QTest::newRow("removed on the server, keep them")
        << int(SyncEngine::LocalRemoval) << "keepButton" << "Toplu silme reddedildi; dosyalar diğer taraftan geri getirilecek.";
    QTest::newRow("removed on the server, remove them")
        << int(SyncEngine::LocalRemoval) << "removeButton" << "Toplu silme onaylandı; bir sonraki senkronizasyonda yapılacak.";
    QTest::newRow("deleted here, keep them")
        << int(SyncEngine::ServerDeletion) << "keepButton" << "Toplu silme reddedildi; dosyalar diğer taraftan geri getirilecek.";
    QTest::newRow("deleted here, remove them")
        << int(SyncEngine::ServerDeletion) << "removeButton" << "Toplu silme onaylandı; bir sonraki senkronizasyonda yapılacak.";
}

void TestMainWindowStatus::removalQuestion()
{
    // The engine held back many removals: the window asks in a box that
    // holds nothing up, names the count and the first files as plain text,
    // and hands the answer back; closing it is no answer.
    if (QSystemTrayIcon::isSystemTrayAvailable())
        QSKIP("this platform has a tray here (Windows always has one); the question waits behind a balloon");
    QFETCH(int, side);
    QFETCH(QString, button);
    QFETCH(QString, answered);
    MainWindow w;
    MainWindowTestAccess a{w};
    SyncEngine *engine = a.syncEngine();
    QStringList paths;
    for (int i = 0; i < 24; ++i)
        paths << QStringLiteral("<b>belge</b>-%1.txt").arg(i);
    SyncEngineTestAccess::heldRemovals(*engine, side) = QSet<QString>(paths.cbegin(), paths.cend());
    QSignalSpy logged(engine, &SyncEngine::log);
    Q_EMIT engine->removalsNeedAnswer(side, 24, paths.mid(0, 10));
    QCoreApplication::processEvents();

    QMessageBox *box = nullptr;
    for (QMessageBox *candidate : w.findChildren<QMessageBox *>()) {
        if (candidate->isVisible() && candidate->windowTitle() == QStringLiteral("Toplu silme onay bekliyor"))
            box = candidate;
    }
    QVERIFY(box);
    QCOMPARE(box->windowModality(), Qt::NonModal);
    QCOMPARE(box->textFormat(), Qt::PlainText);
    QVERIFY(box->text().contains(side == SyncEngine::LocalRemoval ? "Kumatta 24 dosya silinmiş görünüyor"
                                                                  : "Bu bilgisayarda 24 dosya silinmiş görünüyor"));
    QVERIFY(box->text().contains(paths.at(9)));
    QVERIFY(!box->text().contains(paths.at(10)));
    QVERIFY(box->text().contains("… ve 14 dosya daha"));
    QCOMPARE(box->escapeButton(), nullptr);
    box->close();
    QVERIFY(box->isVisible());
    QCOMPARE(logged.size(), 0);

    box->findChild<QPushButton *>(button)->click();
    QCOMPARE(logged.size(), 1);
    QCOMPARE(logged.first().first().toString(), answered);
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
    if (QSystemTrayIcon::isSystemTrayAvailable())
        QSKIP("this platform has a tray here (Windows always has one); the tray's part is tested apart");
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
