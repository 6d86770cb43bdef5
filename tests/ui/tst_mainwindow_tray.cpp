#include "uitest.h"

#include "traydesktop.h"
#include "updatemanager.h"

#include <QMenu>

using namespace UiTest;

namespace {

QString skipReason;

// Where the tray cannot show messages itself, Qt draws the balloon as a widget
// of its own; its labels carry the title and the text. A label that would read
// its text as markup is marked.
QStringList balloon()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible() && qstrcmp(widget->metaObject()->className(), "QBalloonTip") == 0) {
            QStringList texts;
            for (QLabel *label : widget->findChildren<QLabel *>())
                if (!label->text().isEmpty())
                    texts << (label->textFormat() == Qt::PlainText ? QString() : QStringLiteral("(markup) "))
                                 + label->text();
            return texts;
        }
    }
    return {};
}

QList<QAction *> trayActions(MainWindowTestAccess &a)
{
    return a.trayIcon() && a.trayIcon()->contextMenu() ? a.trayIcon()->contextMenu()->actions() : QList<QAction *>();
}

} // namespace

// The window with a real system tray: entries, balloons instead of boxes,
// hiding to the tray on close, and the exit entry.
class TestMainWindowTray : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init() { clearStore(); }
    void trayAndMenu();
    void pauseEntry();
    void updateEntryFollowsButton();
    void notificationsBecomeBalloons();
    void closeHidesToTray();
    void exitQuits_data();
    void exitQuits();
};

void TestMainWindowTray::initTestCase()
{
    if (!skipReason.isEmpty())
        QSKIP(qPrintable(skipReason));
    QTRY_VERIFY_WITH_TIMEOUT(QSystemTrayIcon::isSystemTrayAvailable(), 15000);
}

void TestMainWindowTray::trayAndMenu()
{
    MainWindow w;
    MainWindowTestAccess a{w};
    QVERIFY(a.trayIcon());
    QVERIFY(a.trayIcon()->isVisible());
    QTRY_VERIFY(TrayDesktop::holdsIcon(a.trayIcon()));
    QCOMPARE(a.trayIcon()->toolTip(), QStringLiteral("Zelnor Kumat Senkronizasyon"));
    QCOMPARE(a.trayIcon()->contextMenu()->parent(), &w);
    QStringList texts;
    for (QAction *action : trayActions(a)) {
        QVERIFY(!action->isSeparator());
        texts << action->text();
    }
    QCOMPARE(texts, QStringList({"Uygulamayı Aç", "Senkronizasyonu Duraklat", "Güncelleme Kontrol Et", "Çıkış"}));
    QCOMPARE(trayActions(a).at(1), a.pauseAction());
    QCOMPARE(trayActions(a).at(2), a.trayUpdateAction());

    a.speedTimer()->stop();
    QVERIFY(QMetaObject::invokeMethod(&w, "updateUploadSpeed", Q_ARG(qint64, 1572864), Q_ARG(qint64, 0)));
    a.tick();
    QCOMPARE(a.trayIcon()->toolTip(),
             QStringLiteral("Zelnor Kumat Senkronizasyon\nYükleme: 1.50 MiB/sn | İndirme: 0.00 MiB/sn"));
}

void TestMainWindowTray::pauseEntry()
{
    MainWindow w;
    MainWindowTestAccess a{w};
    QCoreApplication::processEvents();
    QAction *pause = a.pauseAction();
    QCOMPARE(pause->text(), QStringLiteral("Senkronizasyonu Duraklat"));
    // nothing runs although the text says pause: the entry goes by the engine
    a.edit("emailEdit")->clear();
    BoxAnswerer boxes;
    pause->trigger();
    QCOMPARE(boxes.titles(), QStringList{"Eksik bilgi"});

    QVERIFY(QMetaObject::invokeMethod(&w, "updateRunning", Q_ARG(bool, false)));
    QCOMPARE(pause->text(), QStringLiteral("Senkronizasyonu Devam Ettir"));
    QVERIFY(QMetaObject::invokeMethod(&w, "updateRunning", Q_ARG(bool, true)));
    QCOMPARE(pause->text(), QStringLiteral("Senkronizasyonu Duraklat"));
}

void TestMainWindowTray::updateEntryFollowsButton()
{
    MainWindow w;
    MainWindowTestAccess a{w};
    BoxAnswerer boxes;
    a.trayUpdateAction()->trigger();
    QVERIFY(!a.trayUpdateAction()->isEnabled());
    QVERIFY(!a.button("updateButton")->isEnabled());
    // with a tray the failure is a balloon, not a box
    Q_EMIT a.updateManager()->checkFailed(QStringLiteral("Sunucuya ulaşılamadı."));
    QVERIFY(a.trayUpdateAction()->isEnabled());
    QVERIFY(a.button("updateButton")->isEnabled());
    QTest::mouseClick(a.button("updateButton"), Qt::LeftButton);
    QVERIFY(!a.trayUpdateAction()->isEnabled());
    Q_EMIT a.updateManager()->checkCompleted(QStringLiteral("0.3.20"));
    QVERIFY(a.trayUpdateAction()->isEnabled());
    QCoreApplication::processEvents();
    QVERIFY(boxes.boxes.isEmpty());
}

void TestMainWindowTray::notificationsBecomeBalloons()
{
    MainWindow w;
    MainWindowTestAccess a{w};
    BoxAnswerer boxes;
    for (int severity : {2, 1, 0}) {
        // a refused server path, shown as written
        const QString text = QStringLiteral("Bitti (%1): <a href=\"https://x.example\">x</a>").arg(severity);
        QVERIFY(QMetaObject::invokeMethod(&w, "showSyncNotification", Q_ARG(QString, "Senkronizasyon"),
                                          Q_ARG(QString, text), Q_ARG(int, severity)));
        if (TrayDesktop::balloonsReadable())
            QCOMPARE(balloon(), QStringList({"Senkronizasyon", text}));
    }
    QCoreApplication::processEvents();
    QVERIFY(boxes.boxes.isEmpty());

    // the update announcement is a balloon too; only the question is a box, and it does not block
    Q_EMIT a.updateManager()->updateAvailable(QStringLiteral("0.4.0"), QString());
    if (TrayDesktop::balloonsReadable())
        QCOMPARE(balloon(), QStringList({"Güncelleme var", "Zelnor Kumat Senkronizasyon 0.4.0 sürümü hazır."}));
    QCoreApplication::processEvents();
    QVERIFY(boxes.boxes.isEmpty());
    QCOMPARE(a.openNotices().size(), 1);
    QMessageBox *question = a.openNotices().first();
    QCOMPARE(question->icon(), QMessageBox::Question);
    question->button(QMessageBox::No)->click();
    QCOMPARE(a.statusLabel()->text(), QStringLiteral("Güncel (0.4.0)"));
}

void TestMainWindowTray::closeHidesToTray()
{
    MainWindow w;
    MainWindowTestAccess a{w};
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QStringList note{"Zelnor Kumat Senkronizasyon",
                           "Uygulama saat yanındaki simge alanında çalışmaya devam ediyor."};
    for (int i = 0; i < 2; ++i) {
        QMetaObject::invokeMethod(&w, "showSyncNotification", Q_ARG(QString, "x"), Q_ARG(QString, "y"), Q_ARG(int, 0));
        QVERIFY(!w.close()); // every time, not only the first
        if (TrayDesktop::balloonsReadable())
            QCOMPARE(balloon(), note);
        QVERIFY(!w.isVisible());
        QVERIFY(a.trayIcon()->isVisible());
        QVERIFY(!a.quitting());
        QVERIFY(store()->allKeys().isEmpty());
        trayActions(a).at(0)->trigger(); // "Uygulamayı Aç"
        QVERIFY(w.isVisible());
    }
    w.hide();
    Q_EMIT a.trayIcon()->activated(QSystemTrayIcon::Context);
    QVERIFY(!w.isVisible());
    Q_EMIT a.trayIcon()->activated(QSystemTrayIcon::MiddleClick);
    QVERIFY(!w.isVisible());
    Q_EMIT a.trayIcon()->activated(QSystemTrayIcon::Trigger);
    QVERIFY(w.isVisible());
    w.hide();
    Q_EMIT a.trayIcon()->activated(QSystemTrayIcon::DoubleClick);
    QVERIFY(w.isVisible());
}

void TestMainWindowTray::exitQuits_data()
{
    QTest::addColumn<bool>("handOff");
    QTest::newRow("exit entry") << false;
    // the installer waits for this process: a quit taken for hiding to the tray
    // would keep it waiting for ever
    QTest::newRow("installer hand-off") << true;
}

void TestMainWindowTray::exitQuits()
{
    QFETCH(bool, handOff);
    QTemporaryDir temp;
    // an installer that ends at once (Windows starts a command script through cmd)
#ifdef Q_OS_WIN
    const QString installer = temp.path() + QStringLiteral("/kurulum.cmd");
    const QByteArray standIn = "@exit /b 0\r\n";
#else
    const QString installer = temp.path() + QStringLiteral("/kurulum");
    const QByteArray standIn = "#!/bin/sh\nexit 0\n";
#endif
    QFile script(installer);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write(standIn);
    script.close();
    QVERIFY(script.setPermissions(script.permissions() | QFileDevice::ExeOwner));

    MainWindow w;
    MainWindowTestAccess a{w};
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    a.edit("emailEdit")->setText("ayse@example.com");
    if (handOff)
        QTimer::singleShot(0, a.updateManager(), [&] { Q_EMIT a.updateManager()->updateReady(installer); });
    else
        QTimer::singleShot(0, trayActions(a).at(3), &QAction::trigger);
    QTimer::singleShot(20000, &w, [] { QCoreApplication::exit(3); });
    QCOMPARE(QCoreApplication::exec(), 0);
    QVERIFY(balloon().isEmpty());
    QVERIFY(a.quitting());
    QVERIFY(!a.trayIcon()->isVisible());
    QVERIFY(!w.isVisible());
    QCOMPARE(store()->value("email").toString(), QStringLiteral("ayse@example.com"));
    // after the exit entry a close really closes, without a balloon
    w.show();
    QVERIFY(w.close());
    QVERIFY(balloon().isEmpty());
}

int main(int argc, char **argv)
{
    UiTest::isolateUser();
    TrayDesktop desktop;
    skipReason = desktop.start();
    int result = 0;
    {
        QApplication app(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        QPixmap icon(32, 32);
        icon.fill(QColor(0x17, 0x69, 0xe0));
        QApplication::setWindowIcon(QIcon(icon));
        UiTest::guardNetwork();
        TestMainWindowTray tc;
        result = QTest::qExec(&tc, argc, argv);
    }
    desktop.stop();
    return result;
}

#include "tst_mainwindow_tray.moc"
