// What the running copy does with a later start's hand-over (AppEntry::activate).

#include "qmain.h"
#include "uitest.h"

using namespace UiTest;

class TestAppActivation : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { clearStore(); }
    void activate_data();
    void activate();
};

void TestAppActivation::activate_data()
{
    QTest::addColumn<QString>("window");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("checks");

    const QString program = QStringLiteral("zelnor-kumat-sync");
    for (const char *window : {"hidden in the tray", "minimised", "behind another"}) {
        QTest::addRow("%s, plain start", window) << QString::fromLatin1(window) << QStringList{program} << false;
        QTest::addRow("%s, --check-update", window)
            << QString::fromLatin1(window) << QStringList{program, QStringLiteral("--check-update")} << true;
    }
}

void TestAppActivation::activate()
{
    QFETCH(QString, window);
    QFETCH(QStringList, arguments);
    QFETCH(bool, checks);

    MainWindow w;
    MainWindowTestAccess access{w};
    QWidget other;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    if (window == QLatin1String("hidden in the tray")) {
        w.hide();
    } else if (window == QLatin1String("minimised")) {
        w.showMinimized();
        QTRY_VERIFY(w.isMinimized());
    } else {
        other.show();
        other.activateWindow();
        QTRY_COMPARE(QGuiApplication::focusWindow(), other.windowHandle());
    }
    QVERIFY(access.button("updateButton")->isEnabled());

    AppEntry::activate(w, arguments);
    QVERIFY(w.isVisible());
    QVERIFY(!w.isMinimized());
    QTRY_COMPARE(QGuiApplication::focusWindow(), w.windowHandle());
    // the check is queued behind the activation; it disables the button while it runs
    QCoreApplication::processEvents();
    QCOMPARE(!access.button("updateButton")->isEnabled(), checks);
}

KUMAT_UI_TEST_MAIN(TestAppActivation)
#include "tst_appactivation.moc"
