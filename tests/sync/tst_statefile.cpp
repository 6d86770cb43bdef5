#include "apiclient.h"
#include "enginetestaccess.h"
#include "passcontext.h"
#include "syncengine.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

namespace {

// One record as the indented writer lays it out: four spaces a level, keys in
// order, a line feed at the end.
const QByteArray canonicalFile = R"({
    "Belgeler/rapor.pdf": {
        "created_ms": 1700000000123,
        "local_hash": "5feceb66ffc86f38d952786c6d696c79c2dbc239dd4e91b46729d73a27fb57e9",
        "modified_ms": 1700000456789,
        "name": "rapor.pdf",
        "remote_id": "n-42",
        "remote_version": 3,
        "size": 1
    }
}
)";

QByteArray readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<unreadable>");
    return file.readAll();
}

} // namespace

class TestStateFile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void integersReadBack_data();
    void integersReadBack();
    void recordMemberWhateverTheShape_data();
    void recordMemberWhateverTheShape();
    void init();
    void cleanup();

    void record();
    void missingFileLoadsEmpty();
    void unusableFileLoadsEmpty_data();
    void unusableFileLoadsEmpty();
    void contentIsNotValidated();
    void writtenFormat();
    void emptyStateWritesEmptyObject();
    void roundTripUnchanged();
    void unchangedStateRewrittenOnlyOverOtherText_data();
    void unchangedStateRewrittenOnlyOverOtherText();
    void saveReplacesDamagedFile();
    void saveThatCannotOpenLeavesTarget();
    void failedWriteKeepsPreviousFile();

private:
    QString statePath() const { return folder + "/.kumat-sync.json"; }
    void writeStateFile(const QByteArray &content);

    std::unique_ptr<QTemporaryDir> temp;
    std::unique_ptr<ApiClient> api;
    std::unique_ptr<SyncEngine> engine;
    std::unique_ptr<QSignalSpy> logSpy;
    QString folder;
};

void TestStateFile::init()
{
    temp = std::make_unique<QTemporaryDir>();
    QVERIFY(temp->isValid());
    folder = temp->filePath("Senkron");
    QVERIFY(QDir().mkpath(folder));
    api = std::make_unique<ApiClient>();
    engine = std::make_unique<SyncEngine>(api.get());
    engine->configure(folder, 5);
    logSpy = std::make_unique<QSignalSpy>(engine.get(), &SyncEngine::log);
}

void TestStateFile::cleanup()
{
    logSpy.reset();
    engine.reset();
    api.reset();
    temp->setAutoRemove(!QTest::currentTestFailed());
    temp.reset();
}

void TestStateFile::writeStateFile(const QByteArray &content)
{
    QFile file(statePath());
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), qint64(content.size()));
}

void TestStateFile::record()
{
    SyncEngine::LocalFile file;
    file.absolutePath = folder + "/Belgeler/rapor.pdf";
    file.name = "rapor.pdf";
    file.hash = "5feceb66ffc86f38d952786c6d696c79c2dbc239dd4e91b46729d73a27fb57e9";
    file.size = 5000000000LL; // beyond 32 bits
    file.createdMs = 1700000000123;
    file.modifiedMs = 1700000456789;

    const QJsonObject record = engine->stateRecord(file, 7, QJsonValue(qint64(42)));
    QCOMPARE(record.keys(), QStringList({"created_ms", "local_hash", "modified_ms", "name", "remote_id",
                                         "remote_version", "size"}));
    QCOMPARE(record.value("name").toString(), file.name);
    QCOMPARE(record.value("size").toInteger(), file.size);
    QCOMPARE(record.value("created_ms").toInteger(), file.createdMs);
    QCOMPARE(record.value("modified_ms").toInteger(), file.modifiedMs);
    QCOMPARE(record.value("local_hash").toString(), file.hash);
    QCOMPARE(record.value("remote_version").toInteger(), qint64(7));
    QCOMPARE(record.value("remote_id").toInteger(), qint64(42));
}

void TestStateFile::missingFileLoadsEmpty()
{
    SyncEngineTestAccess::state(*engine) = QJsonObject{{"eski", QJsonObject()}};
    engine->loadState();
    QVERIFY(SyncEngineTestAccess::state(*engine).isEmpty());
    QCOMPARE(logSpy->count(), 0);
}

void TestStateFile::unusableFileLoadsEmpty_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("array") << QByteArray("[]");
    QTest::newRow("array of records") << QByteArray(R"([{"name": "a"}])");
    QTest::newRow("garbage") << QByteArray("\x00\xff garbage \x01", 13);
    QTest::newRow("number") << QByteArray("42");
    QTest::newRow("string") << QByteArray(R"("metin")");
    QTest::newRow("null") << QByteArray("null");
    QTest::newRow("cut short") << canonicalFile.left(canonicalFile.size() / 2);
    QTest::newRow("trailing garbage") << canonicalFile + "}";
}

void TestStateFile::unusableFileLoadsEmpty()
{
    QFETCH(QByteArray, content);
    writeStateFile(content);
    SyncEngineTestAccess::state(*engine) = QJsonObject{{"eski", QJsonObject()}};
    engine->loadState();
    QVERIFY(SyncEngineTestAccess::state(*engine).isEmpty());
    QCOMPARE(logSpy->count(), 0);
}

void TestStateFile::contentIsNotValidated()
{
    writeStateFile(R"({"a.txt": 5, "b.txt": {"name": "b.txt"}, "c.txt": []})");
    engine->loadState();
    const QJsonObject state = SyncEngineTestAccess::state(*engine);
    QCOMPARE(state.value("a.txt").toInt(), 5);
    QCOMPARE(state.value("b.txt").toObject(), QJsonObject({{"name", "b.txt"}}));
    QCOMPARE(state.value("c.txt").toArray(), QJsonArray());
}

void TestStateFile::writtenFormat()
{
    SyncEngine::LocalFile file;
    file.name = "rapor.pdf";
    file.hash = "5feceb66ffc86f38d952786c6d696c79c2dbc239dd4e91b46729d73a27fb57e9";
    file.size = 1;
    file.createdMs = 1700000000123;
    file.modifiedMs = 1700000456789;
    SyncEngineTestAccess::state(*engine) =
        QJsonObject{{"Belgeler/rapor.pdf", engine->stateRecord(file, 3, QJsonValue("n-42"))}};
    engine->saveState();
    QCOMPARE(readAll(statePath()), canonicalFile);
    QCOMPARE(logSpy->count(), 0);
}

void TestStateFile::emptyStateWritesEmptyObject()
{
    engine->saveState();
    const QJsonDocument document = QJsonDocument::fromJson(readAll(statePath()));
    QVERIFY(document.isObject());
    QVERIFY(document.object().isEmpty());
}

void TestStateFile::roundTripUnchanged()
{
    // a string "remote_id" from some server must survive a load and a save
    writeStateFile(canonicalFile);
    engine->loadState();
    QCOMPARE(SyncEngineTestAccess::state(*engine).value("Belgeler/rapor.pdf").toObject().value("remote_id"),
             QJsonValue("n-42"));
    engine->saveState();
    QCOMPARE(readAll(statePath()), canonicalFile);
}

void TestStateFile::unchangedStateRewrittenOnlyOverOtherText_data()
{
    // what happens to the file between two saves of the same state
    QTest::addColumn<QByteArray>("onDisk");
    QTest::addColumn<bool>("rewritten");
    QByteArray oneByte = canonicalFile;
    oneByte[oneByte.indexOf("n-42") + 2] = '7';
    QTest::newRow("left as written") << canonicalFile << false;
    QTest::newRow("removed") << QByteArray() << true;
    QTest::newRow("one byte changed") << oneByte << true;
    QTest::newRow("cut short") << canonicalFile.chopped(1) << true;
    QTest::newRow("longer") << canonicalFile + "\n" << true;
}

void TestStateFile::unchangedStateRewrittenOnlyOverOtherText()
{
    QFETCH(QByteArray, onDisk);
    QFETCH(bool, rewritten);
    writeStateFile(canonicalFile);
    engine->loadState();
    engine->saveState();
    QFile::remove(statePath());
    if (!onDisk.isEmpty())
        writeStateFile(onDisk);
    if (QFile::exists(statePath())) {
        // an old time, which only a write of the file moves
        QFile file(statePath());
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(QDateTime(QDate(2020, 1, 1), QTime(0, 0), Qt::UTC), QFileDevice::FileModificationTime));
    }
    engine->saveState();
    QCOMPARE(readAll(statePath()), canonicalFile);
    QCOMPARE(QFileInfo(statePath()).lastModified().toUTC().date() != QDate(2020, 1, 1), rewritten);
    QCOMPARE(logSpy->count(), 0);
}

void TestStateFile::saveReplacesDamagedFile()
{
    writeStateFile("[]");
    engine->loadState();
    SyncEngineTestAccess::state(*engine) = QJsonObject{{"a.txt", QJsonObject{{"size", 1}}}};
    engine->saveState();
    engine->loadState();
    QCOMPARE(SyncEngineTestAccess::state(*engine), QJsonObject({{"a.txt", QJsonObject{{"size", 1}}}}));
}

void TestStateFile::saveThatCannotOpenLeavesTarget()
{
    // A directory in the way cannot be replaced, not even by root.
    QVERIFY(QDir().mkpath(statePath() + "/icerik"));
    SyncEngineTestAccess::state(*engine) = QJsonObject{{"a.txt", QJsonObject()}};
    engine->saveState();
    QCOMPARE(logSpy->count(), 1);
    QCOMPARE(logSpy->at(0).at(0).toString(), QString::fromUtf8("Senkronizasyon takip kaydı açılamadı."));
    QVERIFY(QFileInfo(statePath() + "/icerik").isDir());
    QCOMPARE(SyncEngineTestAccess::state(*engine).size(), 1);
}

void TestStateFile::failedWriteKeepsPreviousFile()
{
#ifdef Q_OS_UNIX
    writeStateFile(canonicalFile);
    engine->loadState();
    QJsonObject big = SyncEngineTestAccess::state(*engine);
    for (int i = 0; i < 2000; ++i)
        big.insert(QStringLiteral("klasor/dosya-%1.txt").arg(i), big.value("Belgeler/rapor.pdf"));
    SyncEngineTestAccess::state(*engine) = big;

    // A file size limit makes the write fail part-way, as a full disk would;
    // unlike permissions it holds for root too.
    rlimit previous{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &previous), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = previous;
    limited.rlim_cur = 64 * 1024;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    engine->saveState();
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);

    QCOMPARE(logSpy->count(), 1);
    QCOMPARE(logSpy->at(0).at(0).toString(),
             QString::fromUtf8("Senkronizasyon takip kaydı güvenli biçimde yazılamadı."));
    QCOMPARE(readAll(statePath()), canonicalFile);
    // no half-written temporary file stays behind
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList({".kumat-sync.json"}));
    // the state in memory stays the new one, for the next save
    QCOMPARE(SyncEngineTestAccess::state(*engine).size(), 2001);
    engine->saveState();
    QCOMPARE(logSpy->count(), 1);
    engine->loadState();
    QCOMPARE(SyncEngineTestAccess::state(*engine), big);
#else
    QSKIP("needs a file size limit");
#endif
}

// How the pass reads a record's integers: whole numbers that fit in 64 bits,
// whatever JSON wrote them as; everything else is 0.
void TestStateFile::integersReadBack_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<qint64>("expected");
    QTest::newRow("small") << QByteArray("5") << qint64(5);
    QTest::newRow("negative") << QByteArray("-3") << qint64(-3);
    QTest::newRow("largest") << QByteArray("9223372036854775807") << qint64(LLONG_MAX);
    QTest::newRow("smallest") << QByteArray("-9223372036854775808") << qint64(LLONG_MIN);
    QTest::newRow("2^63 does not fit") << QByteArray("9223372036854775808") << qint64(0);
    QTest::newRow("far out of range") << QByteArray("1e300") << qint64(0);
    QTest::newRow("whole, written with a fraction") << QByteArray("3.0") << qint64(3);
    QTest::newRow("whole, written with an exponent") << QByteArray("1e3") << qint64(1000);
    QTest::newRow("fraction") << QByteArray("1.5") << qint64(0);
    QTest::newRow("string") << QByteArray("\"7\"") << qint64(0);
    QTest::newRow("boolean") << QByteArray("true") << qint64(0);
    QTest::newRow("null") << QByteArray("null") << qint64(0);
}

void TestStateFile::integersReadBack()
{
    QFETCH(QByteArray, json);
    QFETCH(qint64, expected);
    const QJsonDocument document = QJsonDocument::fromJson("[" + json + "]");
    QVERIFY(document.isArray());
    QCOMPARE(PassValues::integer(document.array().at(0)), expected);
}

// A member read at its place in a record as the engine writes it is the one a
// lookup by name finds, whatever shape the record really has.
void TestStateFile::recordMemberWhateverTheShape_data()
{
    QTest::addColumn<QJsonObject>("record");
    QTest::addColumn<int>("member");
    // the members stateRecord writes
    const QJsonObject written{{"name", "a.txt"}, {"size", 2}, {"created_ms", 5}, {"modified_ms", 6},
                              {"local_hash", "ab"}, {"remote_version", 3}, {"remote_id", 42}};
    QTest::newRow("as written, at its place") << written << int(PassValues::RemoteId);
    QTest::newRow("as written, the first") << written << int(PassValues::CreatedMs);
    QTest::newRow("as written, the last") << written << int(PassValues::Size);
    QJsonObject renamed = written;
    renamed.insert("remote_idx", renamed.take("remote_id"));
    QTest::newRow("seven members, another at its place") << renamed << int(PassValues::RemoteId);
    QJsonObject more = written;
    more.insert("aaa", 1);
    QTest::newRow("a member more, the rest one place on") << more << int(PassValues::RemoteId);
    QTest::newRow("fewer members") << QJsonObject{{"remote_id", 7}} << int(PassValues::RemoteId);
    QTest::newRow("empty") << QJsonObject() << int(PassValues::RemoteId);
}

void TestStateFile::recordMemberWhateverTheShape()
{
    QFETCH(QJsonObject, record);
    QFETCH(int, member);
    const auto which = PassValues::RecordMember(member);
    QCOMPARE(PassValues::recordMember(record, which), record.value(PassValues::recordMemberNames[which]));
}

QTEST_GUILESS_MAIN(TestStateFile)
#include "tst_statefile.moc"
