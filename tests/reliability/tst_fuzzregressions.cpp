#include "apiclient.h"
#include "apitestaccess.h"

#include <QTest>

// Inputs the fuzz targets once broke, replayed through the same entry points.
class FuzzRegressions : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void envelopeRefusalHasReason_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("reason");
        QTest::newRow("empty message") << QByteArray(R"({"message":""})") << QStringLiteral("İşlem başarısız.");
        QTest::newRow("blank message") << QByteArray(R"({"ok":false,"message":"  \n"})") << QStringLiteral("İşlem başarısız.");
        QTest::newRow("message kept") << QByteArray(R"({"ok":false,"message":"Kota doldu."})") << QStringLiteral("Kota doldu.");
    }

    void envelopeRefusalHasReason()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, reason);
        ApiClient client;
        QJsonObject out{{QStringLiteral("untouched"), true}};
        QVERIFY(!ApiClientTestAccess::parseOk(client, body, &out));
        QCOMPARE(client.lastError(), reason);
        QCOMPARE(out, QJsonObject({{QStringLiteral("untouched"), true}}));
    }
};

QTEST_GUILESS_MAIN(FuzzRegressions)
#include "tst_fuzzregressions.moc"
