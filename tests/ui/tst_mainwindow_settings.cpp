#include "uitest.h"

#include "passwordprotection.h"
#include "vendor.h"

#include <QDir>

#include <QStandardPaths>

using namespace UiTest;

// Loading, migrating, clamping and saving the form through the settings store.
class TestMainWindowSettings : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { clearStore(); }
    void defaultsOnEmptyStore();
    void intervalMigration_data();
    void intervalMigration();
    void limitsAndOptions_data();
    void limitsAndOptions();
    void saveWritesTrimmedForm();
    void rememberOffRemovesPassword();
    void quitKeepsStoredPassword();
    void failedProtectionKeepsStoredPassword();
    void unreadablePasswordLeavesFieldEmpty();
};

void TestMainWindowSettings::defaultsOnEmptyStore()
{
    MainWindow w;
    MainWindowTestAccess a{w};
    QCOMPARE(a.edit("serverEdit")->text(), QString::fromLatin1(Vendor::serverUrl));
    QVERIFY(a.edit("emailEdit")->text().isEmpty());
    QCOMPARE(a.edit("folderEdit")->text(),
             QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) + QStringLiteral("/Kumat"));
    QVERIFY(a.edit("folderEdit")->text().startsWith(QDir::homePath()));
    QCOMPARE(a.spin("intervalSpin")->value(), 1);
    QCOMPARE(a.spin("downloadLimitSpin")->value(), 0);
    QCOMPARE(a.spin("uploadLimitSpin")->value(), 0);
    QVERIFY(!a.check("autoStartCheck")->isChecked());
    QVERIFY(!a.check("rememberPasswordCheck")->isChecked());
    QVERIFY(a.edit("passwordEdit")->text().isEmpty());
    // loading alone writes nothing
    QVERIFY(store()->allKeys().isEmpty());
}

void TestMainWindowSettings::intervalMigration_data()
{
    QTest::addColumn<QVariant>("legacy");
    QTest::addColumn<QVariant>("minutes");
    QTest::addColumn<int>("shown");
    QTest::addColumn<QVariant>("storedMinutes"); // after loading; invalid = absent
    QTest::addColumn<bool>("legacyKept");

    const QVariant none;
    QTest::newRow("300 s becomes 5 min") << QVariant(300) << none << 5 << QVariant(5) << false;
    QTest::newRow("90 s becomes 1 min") << QVariant(90) << none << 1 << QVariant(1) << false;
    QTest::newRow("119 s becomes 1 min") << QVariant(119) << none << 1 << QVariant(1) << false;
    QTest::newRow("120 s becomes 2 min") << QVariant(120) << none << 2 << QVariant(2) << false;
    QTest::newRow("179 s rounds down") << QVariant(179) << none << 2 << QVariant(2) << false;
    QTest::newRow("text number") << QVariant("600") << none << 10 << QVariant(10) << false;
    QTest::newRow("zero ignored") << QVariant(0) << none << 1 << none << true;
    QTest::newRow("negative ignored") << QVariant(-300) << none << 1 << none << true;
    QTest::newRow("both present") << QVariant(600) << QVariant(3) << 3 << QVariant(3) << true;
    QTest::newRow("minutes 0 clamps") << none << QVariant(0) << 1 << QVariant(0) << false;
    QTest::newRow("minutes 50000 clamps") << none << QVariant(50000) << 20160 << QVariant(50000) << false;
    QTest::newRow("minutes text") << none << QVariant("abc") << 1 << QVariant("abc") << false;
    QTest::newRow("huge legacy clamps") << QVariant(60 * 50000) << none << 20160 << QVariant(50000) << false;
}

void TestMainWindowSettings::intervalMigration()
{
    QFETCH(QVariant, legacy);
    QFETCH(QVariant, minutes);
    QFETCH(int, shown);
    QFETCH(QVariant, storedMinutes);
    QFETCH(bool, legacyKept);
    {
        auto settings = store();
        if (legacy.isValid())
            settings->setValue("interval", legacy);
        if (minutes.isValid())
            settings->setValue("interval_minutes", minutes);
    }
    MainWindow w;
    MainWindowTestAccess a{w};
    QCOMPARE(a.spin("intervalSpin")->value(), shown);
    auto settings = store();
    QCOMPARE(settings->contains("interval"), legacyKept && legacy.isValid());
    QCOMPARE(settings->contains("interval_minutes"), storedMinutes.isValid());
    if (storedMinutes.isValid())
        QCOMPARE(settings->value("interval_minutes").toString(), storedMinutes.toString());
}

void TestMainWindowSettings::limitsAndOptions_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QString>("control");
    QTest::addColumn<QVariant>("shown");

    QTest::newRow("download") << "downloadLimit" << QVariant(512) << "downloadLimitSpin" << QVariant(512);
    QTest::newRow("download too fast") << "downloadLimit" << QVariant(200000) << "downloadLimitSpin" << QVariant(102400);
    QTest::newRow("upload negative") << "uploadLimit" << QVariant(-1) << "uploadLimitSpin" << QVariant(0);
    QTest::newRow("upload text") << "uploadLimit" << QVariant("hızlı") << "uploadLimitSpin" << QVariant(0);
    QTest::newRow("remember true") << "rememberPassword" << QVariant(true) << "rememberPasswordCheck" << QVariant(true);
    QTest::newRow("remember text true") << "rememberPassword" << QVariant("true") << "rememberPasswordCheck" << QVariant(true);
    // a damaged value must not switch an option on
    QTest::newRow("remember garbage") << "rememberPassword" << QVariant("evet?") << "rememberPasswordCheck" << QVariant(false);
    QTest::newRow("autostart garbage") << "autoStart" << QVariant("xyz") << "autoStartCheck" << QVariant(false);
}

void TestMainWindowSettings::limitsAndOptions()
{
    QFETCH(QString, key);
    QFETCH(QVariant, stored);
    QFETCH(QString, control);
    QFETCH(QVariant, shown);
    store()->setValue(key, stored);
    MainWindow w;
    QWidget *widget = w.findChild<QWidget *>(control);
    QVERIFY(widget);
    if (auto *spin = qobject_cast<QSpinBox *>(widget))
        QCOMPARE(spin->value(), shown.toInt());
    else
        QCOMPARE(qobject_cast<QCheckBox *>(widget)->isChecked(), shown.toBool());
}

void TestMainWindowSettings::saveWritesTrimmedForm()
{
    {
        MainWindow w;
        MainWindowTestAccess a{w};
        a.edit("serverEdit")->setText("  https://sunucu.example:8443/  ");
        a.edit("emailEdit")->setText(" ayse@example.com\t");
        a.edit("passwordEdit")->setText(" gizli ");
        a.edit("folderEdit")->setText("  /tmp/kumat klasör  ");
        a.spin("intervalSpin")->setValue(15);
        a.spin("downloadLimitSpin")->setValue(300);
        a.spin("uploadLimitSpin")->setValue(40);
        a.saveSettings(false);
    }
    auto settings = store();
    QCOMPARE(settings->value("server").toString(), QStringLiteral("https://sunucu.example:8443/"));
    QCOMPARE(settings->value("email").toString(), QStringLiteral("ayse@example.com"));
    QCOMPARE(settings->value("folder").toString(), QStringLiteral("/tmp/kumat klasör"));
    QCOMPARE(settings->value("interval_minutes").toInt(), 15);
    QCOMPARE(settings->value("downloadLimit").toInt(), 300);
    QCOMPARE(settings->value("uploadLimit").toInt(), 40);
    QCOMPARE(settings->value("autoStart").toBool(), false);
    QCOMPARE(settings->value("rememberPassword").toBool(), false);
    QVERIFY(!settings->contains("password"));
    QVERIFY(!settings->contains("interval"));

    // and it reads back as written
    MainWindow again;
    MainWindowTestAccess b{again};
    QCOMPARE(b.edit("serverEdit")->text(), QStringLiteral("https://sunucu.example:8443/"));
    QCOMPARE(b.edit("folderEdit")->text(), QStringLiteral("/tmp/kumat klasör"));
    QCOMPARE(b.spin("intervalSpin")->value(), 15);
    QCOMPARE(b.spin("downloadLimitSpin")->value(), 300);
    QVERIFY(b.edit("passwordEdit")->text().isEmpty());
}

void TestMainWindowSettings::rememberOffRemovesPassword()
{
    store()->setValue("rememberPassword", true);
    store()->setValue("password", "c2FrbGk=");
    {
        MainWindow w;
        MainWindowTestAccess a{w};
        QVERIFY(a.check("rememberPasswordCheck")->isChecked());
        a.check("rememberPasswordCheck")->setChecked(false);
        QVERIFY(store()->contains("password"));
        // without a tray a real close stores the form; with one (always on
        // Windows) closing only hides the window, and the exit entry stores it
        if (a.trayIcon())
            a.saveSettings(false);
        else
            w.close();
        QVERIFY(!store()->contains("password"));
    }
    QVERIFY(!store()->value("rememberPassword").toBool());
}

void TestMainWindowSettings::quitKeepsStoredPassword()
{
    store()->setValue("rememberPassword", true);
    store()->setValue("password", "ZXNraQ==");
    {
        MainWindow w;
        MainWindowTestAccess a{w};
        a.edit("passwordEdit")->setText("yeni parola");
        // the destructor stores the form without the password
    }
    QCOMPARE(store()->value("password").toString(), QStringLiteral("ZXNraQ=="));
    QVERIFY(store()->value("rememberPassword").toBool());
}

void TestMainWindowSettings::failedProtectionKeepsStoredPassword()
{
    // no Secret Service in this process: protection fails
    if (!protectPassword(QStringLiteral("deneme")).isEmpty())
        QSKIP("the password protection works in this process (DPAPI on Windows)");
    store()->setValue("rememberPassword", true);
    store()->setValue("password", "ZXNraQ==");
    MainWindow w;
    MainWindowTestAccess a{w};
    a.edit("passwordEdit")->setText("yeni parola");
    a.saveSettings(true);
    QCOMPARE(store()->value("password").toString(), QStringLiteral("ZXNraQ=="));
}

void TestMainWindowSettings::unreadablePasswordLeavesFieldEmpty()
{
    store()->setValue("rememberPassword", true);
    store()->setValue("password", "bu base64 değil!");
    store()->setValue("email", "ayse@example.com");
    BoxAnswerer boxes;
    MainWindow w;
    MainWindowTestAccess a{w};
    QVERIFY(a.check("rememberPasswordCheck")->isChecked());
    QVERIFY(a.edit("passwordEdit")->text().isEmpty());
    // the queued auto-connect finds no password and does nothing
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    QCOMPARE(a.statusLabel()->text(), QStringLiteral("Hazır"));
    QVERIFY(boxes.boxes.isEmpty());
}

KUMAT_UI_TEST_MAIN(TestMainWindowSettings)
#include "tst_mainwindow_settings.moc"
