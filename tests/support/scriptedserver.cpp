#include "scriptedserver.h"

#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>

QByteArray ScriptedRequest::header(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return QByteArray();
}

bool ScriptedRequest::hasHeader(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

ScriptedResponse ScriptedResponse::json(int status, const QByteArray &body)
{
    ScriptedResponse r;
    r.status = status;
    r.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/json")));
    r.body = body;
    return r;
}

ScriptedResponse ScriptedResponse::redirect(int status, const QByteArray &location)
{
    ScriptedResponse r;
    r.status = status;
    r.headers.append(qMakePair(QByteArray("Location"), location));
    return r;
}

ScriptedHttpsServer::ScriptedHttpsServer(QObject *parent)
    : QObject(parent)
{
    handler = [](const ScriptedRequest &) { return ScriptedResponse::json(200, "{\"ok\":true}"); };
    server = makeServer();
    // after the TLS handshake where the server does TLS itself
    connect(server, &QTcpServer::pendingConnectionAvailable, this, &ScriptedHttpsServer::accept);
}

ScriptedHttpsServer::~ScriptedHttpsServer()
{
    closeConnections();
    if (front && front->state() != QProcess::NotRunning) {
        front->terminate();
        if (!front->waitForFinished(5000)) {
            front->kill();
            front->waitForFinished(5000);
        }
    }
}

quint16 ScriptedHttpsServer::port() const
{
    return front ? frontPort : server->serverPort();
}

QString ScriptedHttpsServer::baseUrl(const QString &host) const
{
    return QStringLiteral("https://%1:%2").arg(host).arg(port());
}

void ScriptedHttpsServer::setHandler(Handler h)
{
    handler = std::move(h);
}

void ScriptedHttpsServer::closeConnections()
{
    for (const QPointer<QTcpSocket> &s : std::as_const(sockets)) {
        if (s)
            s->abort();
    }
    sockets.clear();
}

void ScriptedHttpsServer::accept()
{
    while (server->hasPendingConnections()) {
        QTcpSocket *socket = server->nextPendingConnection();
        if (!socket)
            continue;
        sockets.append(socket);
        socket->setProperty("buffer", QByteArray());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        readFrom(socket);
    }
}

void ScriptedHttpsServer::readFrom(QTcpSocket *socket)
{
    QByteArray buffer = socket->property("buffer").toByteArray() + socket->readAll();
    for (;;) {
        const int headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            break;
        ScriptedRequest request;
        const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        request.method = requestLine.value(0);
        request.target = requestLine.value(1);
        qint64 contentLength = 0;
        for (int i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i).trimmed();
            const int colon = line.indexOf(':');
            if (colon <= 0)
                continue;
            const QByteArray name = line.left(colon).trimmed();
            const QByteArray value = line.mid(colon + 1).trimmed();
            request.headers.append({name, value});
            if (name.compare("content-length", Qt::CaseInsensitive) == 0)
                contentLength = value.toLongLong();
        }
        if (buffer.size() < headerEnd + 4 + contentLength)
            break; // wait for the rest of the body
        request.body = buffer.mid(headerEnd + 4, contentLength);
        buffer.remove(0, headerEnd + 4 + contentLength);

        requests.append(request);
        const ScriptedResponse response = handler(request);
        Q_EMIT requestReceived();

        if (response.action == ScriptedResponse::Stall)
            continue;
        if (response.action == ScriptedResponse::Close) {
            socket->abort();
            return;
        }
        QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + " Scripted\r\n";
        for (const auto &h : response.headers)
            out += h.first + ": " + h.second + "\r\n";
        const bool partial = response.action == ScriptedResponse::PartialThenStall
            || response.action == ScriptedResponse::PartialThenClose;
        const qint64 length = partial && response.announcedLength >= 0 ? response.announcedLength
                                                                         : response.body.size();
        out += "Content-Length: " + QByteArray::number(length) + "\r\n";
        if (!partial)
            out += "Connection: close\r\n";
        out += "\r\n" + response.body;
        socket->write(out);
        if (response.action == ScriptedResponse::PartialThenStall)
            continue;
        socket->flush();
        if (response.action == ScriptedResponse::PartialThenClose) {
            socket->abort();
            return;
        }
        socket->disconnectFromHost();
        return;
    }
    socket->setProperty("buffer", buffer);
}
