#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>

#include <functional>

class QProcess;
class QTcpServer;
class QTcpSocket;

// One request as the scripted responder read it. Header names are kept as sent
// and in order; header() looks them up without regard to case.
struct ScriptedRequest
{
    QByteArray method;
    QByteArray target;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    QByteArray header(const QByteArray &name) const;
    bool hasHeader(const QByteArray &name) const;
};

// What the responder does with one request.
struct ScriptedResponse
{
    enum Action {
        Reply,             // status line, headers, Content-Length and the whole body
        Stall,             // read the request, never answer
        Close,             // close the connection without any answer
        PartialThenStall,  // announce Content-Length (or the body size), send only `body`, keep quiet
        PartialThenClose,  // the same, then close the connection
    };

    int status = 200;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    Action action = Reply;
    qint64 announcedLength = -1; // for the partial actions: the Content-Length to claim

    static ScriptedResponse json(int status, const QByteArray &body);
    static ScriptedResponse redirect(int status, const QByteArray &location);
};

// A small HTTPS responder for protocol edge cases that a real server never
// produces: any status and body, a stall, a cut connection. Listens on
// 127.0.0.1 with the certificate of TestTls; requests are recorded in order.
// Where Qt cannot serve TLS (its Schannel back end under Wine) the responder
// listens on plain TCP behind a TLS front on the host, and port() is the
// front's.
class ScriptedHttpsServer : public QObject
{
    Q_OBJECT

public:
    using Handler = std::function<ScriptedResponse(const ScriptedRequest &)>;

    explicit ScriptedHttpsServer(QObject *parent = nullptr);
    ~ScriptedHttpsServer() override;

    bool listen();
    quint16 port() const;
    // "https://localhost:<port>" by default; host "127.0.0.1" gives another origin
    // on the same listener.
    QString baseUrl(const QString &host = QStringLiteral("localhost")) const;

    void setHandler(Handler handler);
    // Closes every open connection, stalled ones included.
    void closeConnections();

    QList<ScriptedRequest> requests;

Q_SIGNALS:
    void requestReceived();

private:
    // the platform part (scriptedserver_unix/_win.cpp) decides who does the
    // TLS: makeServer() and listen()
    QTcpServer *makeServer();

    void accept();
    void readFrom(QTcpSocket *socket);

    QTcpServer *server = nullptr;
    QProcess *front = nullptr;
    quint16 frontPort = 0;
    Handler handler;
    QList<QPointer<QTcpSocket>> sockets;
};
