// Snapshot intake and the reading of deletion records, on whatever JSON the
// server might send: no crash, no sanitizer report, and nothing accepted that
// the path gate refuses.
#include "apiclient.h"
#include "passcontext.h"
#include "syncengine.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

class SyncEngineTestAccess
{
public:
    static void intake(SyncEngine &engine, PassContext &pass, const QJsonObject &snapshot)
    {
        engine.takeInSnapshot(pass, snapshot);
    }
    static void archive(SyncEngine &engine, PassContext &pass) { engine.archivePortalDeletions(pass); }
    static QJsonObject &state(SyncEngine &engine) { return engine.state; }
};

namespace {

QJsonObject record(qint64 id)
{
    return QJsonObject{{QStringLiteral("name"), QStringLiteral("x")}, {QStringLiteral("size"), 1},
                       {QStringLiteral("created_ms"), 1}, {QStringLiteral("modified_ms"), 1},
                       {QStringLiteral("local_hash"), QStringLiteral("00")}, {QStringLiteral("remote_version"), 1},
                       {QStringLiteral("remote_id"), id}};
}

struct Harness
{
    QTemporaryDir folder;
    ApiClient api;
    SyncEngine engine{&api};
    Harness()
    {
        engine.configure(folder.path(), 60);
        // records the deletion records can match by path, by folder and by id
        QJsonObject &state = SyncEngineTestAccess::state(engine);
        state.insert(QStringLiteral("a.txt"), record(1));
        state.insert(QStringLiteral("d/b.txt"), record(2));
        state.insert(QStringLiteral("d/e/c.txt"), record(3));
        state.insert(QStringLiteral("Ö/ü.txt"), record(12));
    }
};

Harness *harness = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    static int argc = 1;
    static char name[] = "fuzz_snapshot";
    static char *argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
    harness = new Harness;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size)));
    if (!doc.isObject())
        return 0;
    PassContext pass;
    SyncEngineTestAccess::intake(harness->engine, pass, doc.object());
    for (auto it = pass.remoteItems.cbegin(); it != pass.remoteItems.cend(); ++it) {
        if (!harness->engine.isSafeRelativePath(it.key()))
            qFatal("unsafe key %s", qPrintable(it.key())); // an unsafe path got past the intake
        PassValues::integer(it.value().json.value(QLatin1String("id")));
        PassValues::integer(it.value().json.value(QLatin1String("version")));
    }
    pass.nextState = SyncEngineTestAccess::state(harness->engine);
    SyncEngineTestAccess::archive(harness->engine, pass);
    // nothing lies in the folder, so nothing may have been archived
    if (pass.archived != 0)
        abort();
    return 0;
}
