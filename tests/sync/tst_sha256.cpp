#include "sha256.h"
#include "sha256_qtbackend.h"

#include <QBuffer>
#include <QRandomGenerator>
#include <QTest>

namespace {

QList<QByteArray> split(const QByteArray &data, int chunkSize)
{
    QList<QByteArray> chunks;
    for (int i = 0; i < data.size(); i += chunkSize)
        chunks.append(data.mid(i, chunkSize));
    return chunks;
}

QString libcryptoHexOfChunks(const QList<QByteArray> &chunks)
{
    Sha256 hash;
    for (const QByteArray &chunk : chunks)
        hash.addData(chunk);
    return hash.hexDigest();
}

QByteArray randomBytes(int size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray data(size, Qt::Uninitialized);
    for (char &c : data)
        c = char(generator.bounded(256));
    return data;
}

// Delivers `good` bytes and then fails, while still claiming more data: the
// shape of a disk read error in the middle of a file.
class FailingDevice : public QIODevice
{
public:
    FailingDevice(qint64 good, qint64 failure)
        : good(good), failure(failure)
    {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    bool isSequential() const override { return true; }
    bool atEnd() const override { return false; }
    qint64 readCalls = 0;

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        ++readCalls;
        if (readCalls > 1000)
            return -1; // safety net so a broken loop fails the test instead of hanging
        const qint64 n = qMin(maxSize, good - delivered);
        if (n <= 0)
            return failure;
        memset(data, 'x', size_t(n));
        delivered += n;
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    qint64 good;
    qint64 failure;
    qint64 delivered = 0;
};

} // namespace

class TestSha256 : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void knownDigests_data();
    void knownDigests();
    void backendsAgree_data();
    void backendsAgree();
    void resetStartsAfresh();
    void deviceFromCurrentPosition_data();
    void deviceFromCurrentPosition();
    void deviceReadFailureGivesEmptyDigest_data();
    void deviceReadFailureGivesEmptyDigest();
};

void TestSha256::knownDigests_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("digest");
    QTest::newRow("empty") << QByteArray()
                           << "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
    QTest::newRow("abc") << QByteArray("abc")
                         << "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    QTest::newRow("two blocks") << QByteArray("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")
                                << "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1";
    QTest::newRow("million a") << QByteArray(1000000, 'a')
                               << "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0";
}

void TestSha256::knownDigests()
{
    QFETCH(QByteArray, input);
    QFETCH(QString, digest);
    QCOMPARE(Sha256::hexOf(input), digest);
    QCOMPARE(QtBackend::hexOfChunks({input}), digest);
    // the empty-input digest is a real digest, never the "failed" empty string
    QVERIFY(!Sha256::hexOf(input).isNull());
}

void TestSha256::backendsAgree_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("chunkSize");
    // sizes around the 64-byte block and the padding boundary, then large ones
    const int sizes[] = {1, 55, 56, 63, 64, 65, 119, 128, 4096, 1024 * 1024 + 17};
    const int chunks[] = {1, 7, 64, 1000, 1 << 20};
    for (int size : sizes) {
        for (int chunk : chunks) {
            if (size > 100000 && chunk < 64)
                continue;
            QTest::addRow("%d bytes in %d", size, chunk) << size << chunk;
        }
    }
}

void TestSha256::backendsAgree()
{
    QFETCH(int, size);
    QFETCH(int, chunkSize);
    const QByteArray data = randomBytes(size, quint32(size));
    const QString whole = Sha256::hexOf(data);
    QCOMPARE(whole.size(), 64);
    QCOMPARE(whole, whole.toLower());
    QCOMPARE(libcryptoHexOfChunks(split(data, chunkSize)), whole);
    QCOMPARE(QtBackend::hexOfChunks(split(data, chunkSize)), whole);
}

void TestSha256::resetStartsAfresh()
{
    const QByteArray data("rapor");
    Sha256 hash;
    hash.addData(QByteArray("discarded"));
    hash.reset();
    hash.addData(data);
    QCOMPARE(hash.hexDigest(), Sha256::hexOf(data));
    QCOMPARE(QtBackend::hexAfterReset("discarded", data), Sha256::hexOf(data));
}

void TestSha256::deviceFromCurrentPosition_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("start");
    QTest::addColumn<int>("chunkSize");
    QTest::newRow("whole, one chunk") << 5000 << 0 << (1 << 20);
    QTest::newRow("whole, many chunks") << 5000 << 0 << 64;
    QTest::newRow("from the middle") << 5000 << 1234 << 100;
    QTest::newRow("at the end") << 5000 << 5000 << 100;
    QTest::newRow("empty") << 0 << 0 << 100;
}

void TestSha256::deviceFromCurrentPosition()
{
    QFETCH(int, size);
    QFETCH(int, start);
    QFETCH(int, chunkSize);
    QByteArray data = randomBytes(size, 7);
    QBuffer buffer(&data);
    QVERIFY(buffer.open(QIODevice::ReadOnly));
    QVERIFY(buffer.seek(start));
    const QString expected = Sha256::hexOf(data.mid(start));
    QCOMPARE(Sha256::hexOfDevice(&buffer, chunkSize), expected);
    QVERIFY(buffer.seek(start));
    QCOMPARE(QtBackend::hexOfDevice(&buffer, chunkSize), expected);
}

void TestSha256::deviceReadFailureGivesEmptyDigest_data()
{
    QTest::addColumn<qint64>("goodBytes");
    QTest::addColumn<qint64>("failure");
    QTest::newRow("error at once") << qint64(0) << qint64(-1);
    QTest::newRow("error after data") << qint64(3 * 1024 * 1024 + 5) << qint64(-1);
    QTest::newRow("nothing delivered, not at end") << qint64(100) << qint64(0);
}

void TestSha256::deviceReadFailureGivesEmptyDigest()
{
    QFETCH(qint64, goodBytes);
    QFETCH(qint64, failure);
    FailingDevice device(goodBytes, failure);
    QVERIFY(Sha256::hexOfDevice(&device).isNull());
    QVERIFY(device.readCalls < 1000);
    FailingDevice again(goodBytes, failure);
    QVERIFY(QtBackend::hexOfDevice(&again, 1024 * 1024).isNull());
}

QTEST_GUILESS_MAIN(TestSha256)
#include "tst_sha256.moc"
