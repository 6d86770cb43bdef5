// Runs synchronisation passes back to back on one folder until it is killed;
// the crash test kills it with SIGKILL at random moments.
//   kumat-pass-helper <server url> <email> <password> <folder> <ca certificate>
#include "apiclient.h"
#include "syncengine.h"

#include <QCoreApplication>
#include <QSslConfiguration>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 6) {
        fprintf(stderr, "usage: kumat-pass-helper <server url> <email> <password> <folder> <ca certificate>\n");
        return 2;
    }
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.addCaCertificates(args.at(5), QSsl::Pem);
    QSslConfiguration::setDefaultConfiguration(config);

    ApiClient api;
    api.setBaseUrl(args.at(1));
    if (!api.login(args.at(2), args.at(3), QStringLiteral("Kumat Sync Masaüstü"))) {
        fprintf(stderr, "login failed: %s\n", qPrintable(api.lastError()));
        return 3;
    }
    SyncEngine engine(&api);
    engine.configure(args.at(4), 60);
    printf("ready\n");
    fflush(stdout);
    for (;;) {
        engine.start();
        engine.stop();
    }
}
