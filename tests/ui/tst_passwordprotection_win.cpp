#include "passwordprotection.h"
#include "testplatform.h"

#include <QByteArray>
#include <QTest>

// The remembered password through the data-protection service of the Windows
// user running the test, as the settings store keeps it (Base64 text).
class TestPasswordProtection : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void roundTrip_data();
    void roundTrip();
    void refused_data();
    void refused();
};

void TestPasswordProtection::roundTrip_data()
{
    QTest::addColumn<QString>("password");
    QTest::newRow("ascii") << QStringLiteral("parola-123");
    QTest::newRow("turkish") << QStringLiteral("çok gizli ĞÜŞİÖÇ ığüşöç");
    QTest::newRow("with nul") << QString::fromUtf16(u"a\0b", 3);
    QTest::newRow("long") << QString(5000, QLatin1Char('x'));
}

void TestPasswordProtection::roundTrip()
{
    QFETCH(QString, password);
    const QString text = protectPassword(password);
    QVERIFY(!text.isEmpty());
    QVERIFY(!QByteArray::fromBase64(text.toLatin1()).contains(password.toUtf8()));
    QString back = QStringLiteral("untouched");
    QVERIFY(unprotectPassword(text, &back));
    QCOMPARE(back, password);
}

void TestPasswordProtection::refused_data()
{
    QTest::addColumn<QString>("change");
    QTest::newRow("damaged blob") << "flip";
    QTest::newRow("truncated blob") << "truncate";
    QTest::newRow("empty text") << "empty";
    QTest::newRow("plain text instead of a blob") << "plain";
}

void TestPasswordProtection::refused()
{
    QFETCH(QString, change);
    QByteArray blob = QByteArray::fromBase64(protectPassword(QStringLiteral("parola-123")).toLatin1());
    QVERIFY(!blob.isEmpty());
    if (change == "flip")
        blob[blob.size() / 2] = char(blob[blob.size() / 2] ^ 0x20);
    else if (change == "truncate")
        blob.chop(8);
    else if (change == "empty")
        blob.clear();
    else if (change == "plain")
        blob = "parola-123";
    QString back = QStringLiteral("untouched");
    const bool unprotected = unprotectPassword(QString::fromLatin1(blob.toBase64()), &back);
    // what is refused leaves the caller's text alone
    QCOMPARE(back == QStringLiteral("untouched"), !unprotected);
    if (change == "flip" && TestPlatform::underWine())
        QEXPECT_FAIL("", "Wine's CryptUnprotectData decrypts a blob damaged in its middle, which Windows refuses",
                     Continue);
    QVERIFY(!unprotected);
}

QTEST_GUILESS_MAIN(TestPasswordProtection)
#include "tst_passwordprotection_win.moc"
