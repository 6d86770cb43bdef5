#include "scriptedserver.h"

#include "testtls.h"

#include <QSslServer>

QTcpServer *ScriptedHttpsServer::makeServer()
{
    return new QSslServer(this);
}

bool ScriptedHttpsServer::listen()
{
    if (!TestTls::ensure())
        return false;
    static_cast<QSslServer *>(server)->setSslConfiguration(TestTls::serverConfiguration());
    return server->listen(QHostAddress::LocalHost, 0);
}
