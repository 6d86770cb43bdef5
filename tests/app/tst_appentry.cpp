#include "qmain.h"

#include <QApplication>
#include <QIcon>
#include <QStyle>
#include <QTest>

class TestAppEntry : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void checkUpdateOption_data();
    void checkUpdateOption();
    void identity();
};

void TestAppEntry::checkUpdateOption_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("requested");

    QTest::newRow("no arguments") << QStringList{"kumat"} << false;
    QTest::newRow("first") << QStringList{"kumat", "--check-update"} << true;
    QTest::newRow("later position") << QStringList{"kumat", "-x", "foo", "--check-update"} << true;
    QTest::newRow("twice") << QStringList{"kumat", "--check-update", "--check-update"} << true;
    QTest::newRow("capitals") << QStringList{"kumat", "--Check-Update"} << false;
    QTest::newRow("with value") << QStringList{"kumat", "--check-update=1"} << false;
    QTest::newRow("single dash") << QStringList{"kumat", "-check-update"} << false;
    QTest::newRow("trailing blank") << QStringList{"kumat", "--check-update "} << false;
}

void TestAppEntry::checkUpdateOption()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, requested);
    QCOMPARE(AppEntry::checkUpdateRequested(arguments), requested);
}

void TestAppEntry::identity()
{
    AppEntry::applyIdentity();
    QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Zelnor Kumat Senkronizasyon"));
    QCOMPARE(QCoreApplication::organizationName(), QStringLiteral("Zelnor"));
    QCOMPARE(QCoreApplication::applicationVersion(), QStringLiteral(KUMAT_PROJECT_VERSION));
    QCOMPARE(QApplication::style()->name().toLower(), QStringLiteral("fusion"));

    // the icon is compiled in and renders through the SVG image plug-in
    const QIcon icon = QApplication::windowIcon();
    QVERIFY(!icon.isNull());
    const QImage image = icon.pixmap(128, 128).toImage();
    QVERIFY(!image.isNull());
    // a corner pixel is transparent (rounded square), the middle of the arrow shaft is blue
    QCOMPARE(qAlpha(image.pixel(1, 1)), 0);
    const QColor shaft = image.pixelColor(64, 75);
    QVERIFY2(shaft.blue() > 200 && shaft.red() < 60, qPrintable(shaft.name()));
    const QColor cloud = image.pixelColor(45, 85);
    QVERIFY2(cloud.red() > 230 && cloud.green() > 230, qPrintable(cloud.name()));
}

QTEST_MAIN(TestAppEntry)
#include "tst_appentry.moc"
