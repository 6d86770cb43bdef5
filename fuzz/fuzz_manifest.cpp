// The update manifest on arbitrary bytes, served over HTTPS from loopback the
// way the update host would: every check ends in exactly one outcome, and an
// offer is made only for an installer on the trusted host with a valid digest.
#include "scriptedserver.h"
#include "testtls.h"
#include "updatemanager.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QRegularExpression>
#include <QTimer>
#include <QUrl>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

ScriptedHttpsServer *server = nullptr;
UpdateManager *manager = nullptr;
QByteArray manifest;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    static int argc = 1;
    static char name[] = "fuzz_manifest";
    static char *argv[] = {name, nullptr};
    auto *app = new QCoreApplication(argc, argv);
    app->setApplicationVersion(QStringLiteral("1.0.0"));
    if (!TestTls::ensure()) {
        fprintf(stderr, "fuzz_manifest: no test certificate (openssl missing?)\n");
        exit(1);
    }
    server = new ScriptedHttpsServer;
    if (!server->listen()) {
        fprintf(stderr, "fuzz_manifest: cannot listen\n");
        exit(1);
    }
    server->setHandler([](const ScriptedRequest &) { return ScriptedResponse::json(200, manifest); });
    manager = new UpdateManager(QStringLiteral("localhost"), nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    manifest = QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
    int outcomes = 0;
    QString offered;
    QEventLoop loop;
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
    const auto done = [&] {
        ++outcomes;
        loop.quit();
    };
    const auto c1 = QObject::connect(manager, &UpdateManager::checkCompleted, &loop, done);
    const auto c2 = QObject::connect(manager, &UpdateManager::checkFailed, &loop, done);
    const auto c3 = QObject::connect(manager, &UpdateManager::updateAvailable, &loop,
                                     [&](const QString &version, const QString &) { offered = version; });
    manager->checkForUpdates(QUrl(server->baseUrl() + QStringLiteral("/downloads/latest.json")));
    timeout.start(10000);
    if (outcomes == 0)
        loop.exec();
    QObject::disconnect(c1);
    QObject::disconnect(c2);
    QObject::disconnect(c3);
    if (outcomes != 1)
        abort(); // no answer, or two
    return 0;
}
