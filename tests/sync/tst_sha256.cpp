#include "filereader_p.h"
#include "sha256.h"
#include "sha256_qtbackend.h"

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
    void fileReadsToTheEnd_data();
    void fileReadsToTheEnd();
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

void TestSha256::fileReadsToTheEnd_data()
{
    const int chunk = int(FileReaderDetail::chunkSize);
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("step"); // the most one read delivers
    QTest::addColumn<int>("failAt"); // bytes delivered before a read fails; -1 for none
    QTest::newRow("empty") << 0 << chunk << -1;
    QTest::newRow("one chunk exactly") << chunk << chunk << -1;
    QTest::newRow("many chunks") << 3 * chunk + 5 << chunk << -1;
    QTest::newRow("short reads") << 5000 << 64 << -1;
    // a disk read error: never a digest, and never another read
    QTest::newRow("error at once") << 5000 << chunk << 0;
    QTest::newRow("error after data") << 3 * chunk + 5 << chunk << 2 * chunk;
}

void TestSha256::fileReadsToTheEnd()
{
    QFETCH(int, size);
    QFETCH(int, step);
    QFETCH(int, failAt);
    const QByteArray data = randomBytes(size, 7);
    int offset = 0;
    int reads = 0;
    const QString digest = FileReaderDetail::digestOfReads(
        [&](char *buffer, qint64 length) -> qint64 {
            ++reads;
            if (failAt >= 0 && offset >= failAt)
                return -1;
            const int n = int(qMin<qint64>(qMin(length, qint64(step)), data.size() - offset));
            memcpy(buffer, data.constData() + offset, size_t(n));
            offset += n;
            return n;
        },
        size);
    if (failAt >= 0)
        QVERIFY(digest.isNull());
    else
        QCOMPARE(digest, Sha256::hexOf(data));
    QVERIFY(reads <= size / step + 2);
}

QTEST_GUILESS_MAIN(TestSha256)
#include "tst_sha256.moc"
