#include "scriptedserver.h"

#include "testprocess.h"
#include "testtls.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QTcpServer>

// Qt 6.4's Schannel back end cannot serve TLS under Wine, so the responder
// listens on plain TCP and a TLS front on the host (scripts/wine-tls-front,
// reached through its stand-in on PATH) takes the clients' connections.
QTcpServer *ScriptedHttpsServer::makeServer()
{
    return new QTcpServer(this);
}

bool ScriptedHttpsServer::listen()
{
    if (!TestTls::ensure() || !server->listen(QHostAddress::LocalHost, 0))
        return false;
    front = new QProcess(this);
    front->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const QStringList arguments{TestTls::certificatePath(), TestTls::keyPath(), QString::number(server->serverPort())};
    TestProcess::start(*front, QStringLiteral("kumat-tls-front"), arguments, 20000);
    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired() && front->state() != QProcess::NotRunning) {
        if (front->canReadLine()) {
            bool ok = false;
            frontPort = quint16(front->readLine().trimmed().toUInt(&ok));
            if (!ok || frontPort == 0)
                break;
            return true;
        }
        front->waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    }
    qWarning("the TLS front did not report its port: %s", qPrintable(front->errorString()));
    return false;
}
