#pragma once

#include "store.h"

#include <QString>

#include <memory>

namespace httplib {
class Server;
}

namespace kumat::server {

struct ServeOptions
{
    QString dataDir;
    QString certPath;
    QString keyPath;
    QString listen = QStringLiteral("127.0.0.1");
    int port = 8443;
    QString downloadsDir;
    bool log = false;
    int threads = 64;
};

// The HTTPS front: the JSON API under /api/v1/, the update files under
// /downloads/, and the fault switch consulted before every request.
class ApiServer
{
public:
    ApiServer(Store &store, const ServeOptions &options);
    ~ApiServer();

    bool valid() const;
    // Binds the listening socket; returns the port, or -1.
    int bind();
    // Serves until stop() is called from another thread.
    bool run();
    void stop();

private:
    void routes();

    Store &store;
    ServeOptions options;
    std::unique_ptr<httplib::Server> http;
};

} // namespace kumat::server
