#include "enginetestaccess.h"
#include "passfixture.h"
#include "referenceserver.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTest>
#include <QTimer>

class ApiClientTestAccess
{
public:
    static QNetworkAccessManager &network(ApiClient &client) { return client.network; }
};

// stop() while the pass waits on a transfer: the pass ends as cancelled and
// the state file stays byte for byte as the last completed pass left it.
class TestPassCancel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY(fixture.start()); }
    void init() { QVERIFY(fixture.beginTest()); }
    void cleanup() { fixture.endTest(); }

    void stopDuringUpload_data();
    void stopDuringUpload();
    void stopDuringDownload();
    void snapshotFailureWritesNothing_data();
    void snapshotFailureWritesNothing();
    void stopDuringScan();

private:
    // Runs one pass that stop() interrupts at the first sign of a transfer.
    void passStoppedAtFirst(Device *d, bool upload);

    PassFixture fixture;
};

// large enough that a throttled transfer is still running when stop() comes
static const QByteArray bigContent(24 * 1024, 'k');

void TestPassCancel::passStoppedAtFirst(Device *d, bool upload)
{
    bool stopped = false;
    const auto stopOnce = [d, &stopped](qint64 done, qint64) {
        if (!stopped && done > 0) {
            stopped = true;
            d->engine.stop();
        }
    };
    QMetaObject::Connection c = upload ? connect(&d->api, &ApiClient::uploadProgress, this, stopOnce)
                                       : connect(&d->api, &ApiClient::downloadProgress, this, stopOnce);
    d->logs.clear();
    d->notices.clear();
    d->engine.start();
    disconnect(c);
    QVERIFY(stopped);
    d->engine.stop();
}

void TestPassCancel::stopDuringUpload_data()
{
    QTest::addColumn<bool>("newFile");
    QTest::newRow("changed file") << false;
    // the last file of the local walk: the final check still cancels
    QTest::newRow("last new file") << true;
}

void TestPassCancel::stopDuringUpload()
{
    QFETCH(bool, newFile);
    Device *d = fixture.device();
    QVERIFY(fixture.server->putFile(fixture.email(), "mevcut.txt", "v1"));
    d->pass();
    const QByteArray stateBefore = d->stateFileBytes();
    QVERIFY(!stateBefore.isEmpty());

    const QString path = newFile ? "zz-yeni.bin" : "mevcut.txt";
    QVERIFY(d->write(path, bigContent));
    d->api.setTransferLimits(0, 4);
    passStoppedAtFirst(d, true);
    d->api.setTransferLimits(0, 0);

    const int stoppedAt = int(d->logs.indexOf("Yükleme durduruldu: " + path));
    QVERIFY(stoppedAt >= 0);
    QCOMPARE(d->logs.indexOf("Senkronizasyon durduruldu; yarım işlem takip kaydına yazılmadı."), stoppedAt + 1);
    QVERIFY(!d->logged("Senkronizasyon tamamlandı."));
    QVERIFY(!d->loggedStartingWith("Yüklenemedi"));
    QVERIFY(d->notices.isEmpty());
    QCOMPARE(d->stateFileBytes(), stateBefore);

    // the next pass finishes the job
    d->pass();
    QCOMPARE(d->counters().uploaded, 1);
    QCOMPARE(d->counters().errors, 0);
}

void TestPassCancel::stopDuringDownload()
{
    Device *d = fixture.device();
    QVERIFY(fixture.server->putFile(fixture.email(), "küçük.txt", "x"));
    d->pass();
    const QByteArray stateBefore = d->stateFileBytes();
    // more than the socket buffers hold, so the transfer is still on the wire
    QVERIFY(fixture.server->putFile(fixture.email(), "büyük.bin", QByteArray(8 * 1024 * 1024, 'b')));

    d->api.setTransferLimits(4, 0);
    passStoppedAtFirst(d, false);
    d->api.setTransferLimits(0, 0);

    QVERIFY(d->logged("İndirme durduruldu: büyük.bin"));
    QVERIFY(d->logged("Senkronizasyon durduruldu; yarım işlem takip kaydına yazılmadı."));
    QVERIFY(!d->loggedStartingWith("İndirilemedi"));
    QVERIFY(!d->exists("büyük.bin"));
    QCOMPARE(d->stateFileBytes(), stateBefore);
    QCOMPARE(d->filesUnder(""), QStringList({".kumat-sync.json", "küçük.txt"}));
}

// The threads of this process, where the system lists them; -1 elsewhere.
static int threadsNow()
{
    const QDir tasks(QStringLiteral("/proc/self/task"));
    return tasks.exists() ? int(tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot).size()) : -1;
}

// The folder is read while the snapshot is asked for; a pass that gets no
// snapshot stops that reading and waits for it, and uses nothing of it.
void TestPassCancel::snapshotFailureWritesNothing_data()
{
    QTest::addColumn<bool>("stillReading");
    QTest::addColumn<bool>("stopDuringRequest");
    QTest::newRow("server error") << false << false;
    // holes read fast, but many gigabytes of them still take far longer to
    // hash than the request takes to fail
    QTest::newRow("server error while the scan reads") << true << false;
    QTest::newRow("stop during the request") << true << true;
}

void TestPassCancel::snapshotFailureWritesNothing()
{
    QFETCH(bool, stillReading);
    QFETCH(bool, stopDuringRequest);
    Device *d = fixture.device();
    QVERIFY(fixture.server->putFile(fixture.email(), "a.txt", "a"));
    d->pass();
    const QByteArray stateBefore = d->stateFileBytes();
    const QJsonObject recordsBefore = SyncEngineTestAccess::state(d->engine);
    QVERIFY(QFile::remove(d->path("a.txt")));
    QVERIFY(d->write("yeni.txt", "y"));
    if (stillReading) {
        QFile sparse(d->path("iri.bin"));
        QVERIFY(sparse.open(QIODevice::WriteOnly));
        QVERIFY(sparse.resize(qint64(64) << 30));
    }
    // a crawl that the stop cuts short, or a refusal
    QVERIFY(stopDuringRequest ? fixture.server->addSlowFault("GET", "/api/v1/sync/snapshot", 10)
                              : fixture.server->addFault("GET", "/api/v1/sync/snapshot", "status", 503));

    bool stopped = false;
    QTimer poll;
    poll.setInterval(1);
    connect(&poll, &QTimer::timeout, this, [d, &stopped, stopDuringRequest] {
        if (stopDuringRequest && !stopped && SyncEngineTestAccess::scanning(d->engine)) {
            stopped = true;
            d->engine.stop();
        }
    });
    bool scanningAtFailure = false;
    const QMetaObject::Connection c =
        connect(&d->engine, &SyncEngine::log, this, [d, &scanningAtFailure](const QString &line) {
            if (line.startsWith("Sunucu anlık görüntüsü alınamadı: "))
                scanningAtFailure = SyncEngineTestAccess::scanning(d->engine);
        });
    const int threadsBefore = threadsNow();
    poll.start();
    d->pass();
    poll.stop();
    disconnect(c);
    QVERIFY(fixture.server->clearFaults());
    QCOMPARE(stopped, stopDuringRequest);

    // the reading was under way when the request failed, and is over with the pass
    QVERIFY(scanningAtFailure);
    QVERIFY(!SyncEngineTestAccess::scanning(d->engine));
    QTRY_COMPARE(threadsNow(), threadsBefore);
    if (stillReading)
        QVERIFY(QFile::remove(d->path("iri.bin")));

    QVERIFY(d->loggedStartingWith("Sunucu anlık görüntüsü alınamadı: "));
    QVERIFY(!d->logged("Senkronizasyon tamamlandı."));
    QVERIFY(!d->logged("Senkronizasyon durduruldu; yarım işlem takip kaydına yazılmadı."));
    QCOMPARE(d->stateFileBytes(), stateBefore);
    QCOMPARE(SyncEngineTestAccess::state(d->engine), recordsBefore);
    QVERIFY(!fixture.server->node(fixture.email(), "a.txt").value("trashed").toBool());
    QVERIFY(fixture.server->node(fixture.email(), "yeni.txt").isEmpty());
}

// The folder is read while the window goes on; a stop() meanwhile ends the
// scan early, and a scan that has not seen every file must not let the pass
// take the files it missed for deleted.
void TestPassCancel::stopDuringScan()
{
    Device *d = fixture.device();
    QVERIFY(fixture.server->putFile(fixture.email(), "a.txt", "a"));
    d->pass();
    const QByteArray stateBefore = d->stateFileBytes();
    QVERIFY(!stateBefore.isEmpty());
    // holes read fast, but many gigabytes of them still take far longer to
    // hash than the stop takes to come
    {
        QFile sparse(d->path("iri.bin"));
        QVERIFY(sparse.open(QIODevice::WriteOnly));
        QVERIFY(sparse.resize(qint64(64) << 30));
    }

    // The reading starts before the snapshot is asked for; the stop comes
    // once the snapshot is in and the pass waits for the reading alone.
    bool snapshotIn = false;
    const QMetaObject::Connection c = connect(&ApiClientTestAccess::network(d->api), &QNetworkAccessManager::finished,
                                              this, [&snapshotIn](QNetworkReply *reply) {
                                                  if (reply->url().path().endsWith(QLatin1String("/sync/snapshot")))
                                                      snapshotIn = true;
                                              });
    bool stopped = false;
    QTimer poll;
    poll.setInterval(1);
    connect(&poll, &QTimer::timeout, this, [d, &stopped, &snapshotIn] {
        if (!stopped && snapshotIn && SyncEngineTestAccess::scanning(d->engine)) {
            stopped = true;
            d->engine.stop();
        }
    });
    poll.start();
    d->logs.clear();
    d->notices.clear();
    d->engine.start();
    poll.stop();
    disconnect(c);
    QVERIFY(stopped);
    d->engine.stop();
    QVERIFY(QFile::remove(d->path("iri.bin")));

    QVERIFY(d->logged("Senkronizasyon durduruldu; yarım işlem takip kaydına yazılmadı."));
    QVERIFY(!d->logged("Senkronizasyon tamamlandı."));
    QVERIFY(d->notices.isEmpty());
    QCOMPARE(d->stateFileBytes(), stateBefore);
    // unseen by the stopped scan, not deleted
    QVERIFY(!fixture.server->node(fixture.email(), "a.txt").value("trashed").toBool());
    QVERIFY(fixture.server->node(fixture.email(), "iri.bin").isEmpty());
}

QTEST_GUILESS_MAIN(TestPassCancel)
#include "tst_passcancel.moc"
