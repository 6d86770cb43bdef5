#include "uitest.h"

#include "passwordcipher.h"
#include "passwordprotection.h"

using namespace UiTest;

// The sealed password format, and the refusal when no Secret Service answers.
// The round trip through a real keyring is tst_keyring.
class TestPasswordProtection : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void roundTrip_data();
    void roundTrip();
    void layoutAndFreshNonce();
    void tampering_data();
    void tampering();
    void withoutSecretService();
};

void TestPasswordProtection::roundTrip_data()
{
    QTest::addColumn<QByteArray>("plain");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("ascii") << QByteArray("parola-123");
    QTest::newRow("turkish") << QStringLiteral("çok gizli ĞÜŞİÖÇ ığüşöç").toUtf8();
    QTest::newRow("with nul") << QByteArray("a\0b", 3);
    QTest::newRow("long") << QByteArray(5000, 'x');
}

void TestPasswordProtection::roundTrip()
{
    QFETCH(QByteArray, plain);
    const QByteArray key = PasswordCipher::newKey();
    QCOMPARE(key.size(), PasswordCipher::keySize);
    const QByteArray blob = PasswordCipher::seal(key, plain);
    QCOMPARE(blob.size(), 1 + PasswordCipher::nonceSize + plain.size() + PasswordCipher::tagSize);
    if (!plain.isEmpty())
        QVERIFY(!blob.contains(plain));
    QByteArray opened = "untouched";
    QVERIFY(PasswordCipher::open(key, blob, &opened));
    QCOMPARE(opened, plain);
}

void TestPasswordProtection::layoutAndFreshNonce()
{
    const QByteArray key = PasswordCipher::newKey();
    QVERIFY(key != PasswordCipher::newKey());
    const QByteArray a = PasswordCipher::seal(key, "aynı parola");
    const QByteArray b = PasswordCipher::seal(key, "aynı parola");
    QCOMPARE(a.at(0), PasswordCipher::version);
    QVERIFY(a.mid(1, PasswordCipher::nonceSize) != b.mid(1, PasswordCipher::nonceSize));
    QVERIFY(a != b);
    QVERIFY(PasswordCipher::seal(key.left(16), "x").isEmpty());
}

void TestPasswordProtection::tampering_data()
{
    QTest::addColumn<QString>("change");
    QTest::newRow("version byte") << "version";
    QTest::newRow("nonce") << "nonce";
    QTest::newRow("ciphertext") << "cipher";
    QTest::newRow("tag") << "tag";
    QTest::newRow("truncated tag") << "truncate";
    QTest::newRow("appended byte") << "append";
    QTest::newRow("header only") << "short";
    QTest::newRow("empty") << "empty";
    QTest::newRow("other key") << "key";
    QTest::newRow("short key") << "shortkey";
}

void TestPasswordProtection::tampering()
{
    QFETCH(QString, change);
    QByteArray key = PasswordCipher::newKey();
    QByteArray blob = PasswordCipher::seal(key, "parola-123");
    const int cipherAt = 1 + PasswordCipher::nonceSize;
    if (change == "version")
        blob[0] = 2;
    else if (change == "nonce")
        blob[3] = char(blob[3] ^ 0x01);
    else if (change == "cipher")
        blob[cipherAt + 2] = char(blob[cipherAt + 2] ^ 0x80);
    else if (change == "tag")
        blob[blob.size() - 1] = char(blob[blob.size() - 1] ^ 0x01);
    else if (change == "truncate")
        blob.chop(1);
    else if (change == "append")
        blob.append('\0');
    else if (change == "short")
        blob = blob.left(1 + PasswordCipher::nonceSize);
    else if (change == "empty")
        blob.clear();
    else if (change == "key")
        key = PasswordCipher::newKey();
    else if (change == "shortkey")
        key.chop(1);
    QByteArray opened = "untouched";
    QVERIFY(!PasswordCipher::open(key, blob, &opened));
    QCOMPARE(opened, QByteArray("untouched"));
}

void TestPasswordProtection::withoutSecretService()
{
    // the session bus points at nothing in this process
    QVERIFY(protectPassword(QStringLiteral("parola")).isEmpty());
    const QByteArray key = PasswordCipher::newKey();
    const QString text = QString::fromLatin1(PasswordCipher::seal(key, "parola").toBase64());
    QString password = QStringLiteral("untouched");
    QVERIFY(!unprotectPassword(text, &password));
    QVERIFY(!unprotectPassword(QString(), &password));
    QCOMPARE(password, QStringLiteral("untouched"));
}

KUMAT_UI_TEST_MAIN(TestPasswordProtection)
#include "tst_passwordprotection.moc"
