// The path gate on arbitrary text, read as UTF-8 and as UTF-16. A path it
// accepts must resolve inside the sync folder, and the snapshot's gate, which
// takes shortcuts for plain paths and remembers the directories it has seen,
// must answer as a fresh gate does for every line of the input in turn.
#include "apiclient.h"
#include "passcontext.h"
#include "pathgate.h"
#include "syncengine.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

namespace {

struct Harness
{
    QTemporaryDir folder;
    ApiClient api;
    SyncEngine engine{&api};
    QString root;
    Harness()
    {
        QDir(folder.path()).mkpath(QStringLiteral("sub/inner"));
        engine.configure(folder.path(), 60);
        root = QDir(folder.path()).absolutePath() + QLatin1Char('/');
    }

    void check(const QString &path)
    {
        if (!engine.isSafeRelativePath(path))
            return;
        const QString target = QFileInfo(engine.absolute(path)).absoluteFilePath();
        if (!target.startsWith(root, Qt::CaseInsensitive))
            abort(); // accepted, yet outside the folder
        engine.conflictPath(path, QStringLiteral("uzak"));
    }

    void checkGate(const QString &text)
    {
        PathGate gate(engine, folder.path());
        const QStringList lines = text.split(QLatin1Char('\n'));
        for (const QString &line : lines) {
            // as the intake reads a server path
            const QString path = PassValues::path(line);
            const bool safe = gate.isSafe(path);
            if (safe != engine.isSafeRelativePath(path))
                abort(); // the shortcut and the rule disagree
            if (!safe)
                continue;
            // the intake keys an item by its clean form; that key is judged again later
            const QString key = gate.isPlain(path) ? path : QDir::cleanPath(path);
            if (!engine.isSafeRelativePath(key))
                abort();
            if (gate.target(key) != QFileInfo(engine.absolute(key)).absoluteFilePath())
                abort();
        }
    }
};

Harness *harness = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    static int argc = 1;
    static char name[] = "fuzz_safepath";
    static char *argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
    harness = new Harness;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    harness->check(QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size)));
    harness->check(QString(reinterpret_cast<const QChar *>(data), qsizetype(size / 2)));
    harness->checkGate(QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size)));
    return 0;
}
