#include "singlecopy.h"
#include "singlecopy_p.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDataStream>
#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QTimer>

namespace {

// A hand-over is one frame: a magic number, the length of the body, and the
// arguments in UTF-8, each ended by a NUL (no argument of a command line holds
// one). The running copy confirms with an empty frame. Not QDataStream's
// containers: those reserve whatever count the other end writes.
constexpr quint32 frameMagic = 0x4b4d5331;
constexpr int headerSize = 8;
constexpr quint32 bodyLimit = 64 * 1024;

// A running copy accepts at once; only a pipe whose instances are all taken
// makes a start wait.
constexpr int connectTimeout = 3000;
// A start that stopped half-way must not keep a connection of the running copy.
constexpr int requestTimeout = 30000;

QByteArray frameHeader(quint32 bodySize)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << frameMagic << bodySize;
    return bytes;
}

} // namespace

SingleCopy::SingleCopy(const QString &serverName, QObject *parent)
    : QObject(parent), name(serverName)
{
}

QString SingleCopy::defaultServerName()
{
    const QString chosen = qEnvironmentVariable("KUMAT_SINGLE_COPY_NAME");
    if (!chosen.isEmpty())
        return chosen;
    QString application;
    for (const QChar c : QCoreApplication::applicationName()) {
        if (c.unicode() < 128 && c.isLetterOrNumber())
            application += c;
    }
    const QByteArray who = (SingleCopyPlatform::userKey() + QLatin1Char('\n') + QDir::homePath()).toUtf8();
    const QByteArray digest = QCryptographicHash::hash(who, QCryptographicHash::Sha256).toHex().left(24);
    return application + QLatin1Char('-') + QString::fromLatin1(digest);
}

bool SingleCopy::isListening() const
{
    return server && server->isListening();
}

void SingleCopy::setAnswerTimeout(int msecs)
{
    answerTimeout = msecs;
}

bool SingleCopy::claim(const QStringList &arguments)
{
    if (server)
        return true;

    // Copies that start together (autostart, and a click while it loads) take
    // turns: on Windows both would listen on one pipe name, which Qt allows,
    // and on Unix one could remove the socket file the other has just made.
    // The lock of a copy that died is taken over; without the lock at all,
    // the retry below still settles an ordinary race.
    QLockFile turn(QDir(QDir::tempPath()).absoluteFilePath(name + QStringLiteral(".lock")));
    turn.tryLock(connectTimeout + answerTimeout + 2000);

    if (handOver(arguments))
        return false;
    if (listen())
        return true;
    // Unix only: another copy listened first after all, or a copy that
    // crashed left its socket file, which no one answers.
    if (handOver(arguments))
        return false;
    QLocalServer::removeServer(name);
    listen();
    return true;
}

bool SingleCopy::handOver(const QStringList &arguments) const
{
    QLocalSocket socket;
    socket.connectToServer(name);
    // A stale socket file refuses the connection: a connection is a running copy.
    if (!socket.waitForConnected(connectTimeout))
        return false;
    SingleCopyPlatform::letPeerTakeForeground(socket);

    QByteArray body;
    for (const QString &argument : arguments) {
        const QByteArray bytes = argument.toUtf8() + '\0';
        // the running copy refuses longer frames; the first arguments say what is asked
        if (quint32(body.size() + bytes.size()) > bodyLimit)
            break;
        body += bytes;
    }
    socket.write(frameHeader(quint32(body.size())) + body);

    // Ending before the running copy has read the request could lose it (a
    // pipe holds no buffer of its own); a copy that does not confirm in time
    // is busy, and still the one that runs.
    const QDeadlineTimer deadline(answerTimeout);
    socket.waitForBytesWritten(int(deadline.remainingTime()));
    while (socket.bytesAvailable() < headerSize && socket.state() == QLocalSocket::ConnectedState
           && !deadline.hasExpired())
        socket.waitForReadyRead(int(deadline.remainingTime()));
    return true;
}

bool SingleCopy::listen()
{
    auto *candidate = new QLocalServer(this);
    // No access options: with them Qt on Unix moves its new socket over an
    // existing one instead of failing, and a second copy would take the name
    // from the running one. The defaults keep other users out already (the
    // socket file is not writable for them; the pipe only readable).
    if (!candidate->listen(name)) {
        delete candidate;
        return false;
    }
    server = candidate;
    connect(server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *socket = server->nextPendingConnection())
            serve(socket);
    });
    return true;
}

void SingleCopy::serve(QLocalSocket *socket)
{
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readRequest(socket); });
    QTimer::singleShot(requestTimeout, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
    readRequest(socket);
}

void SingleCopy::readRequest(QLocalSocket *socket)
{
    if (socket->state() != QLocalSocket::ConnectedState || socket->bytesAvailable() < headerSize)
        return;
    quint32 magic = 0;
    quint32 bodySize = 0;
    QDataStream header(socket->peek(headerSize));
    header >> magic >> bodySize;
    if (magic != frameMagic || bodySize > bodyLimit) {
        socket->abort();
        socket->deleteLater();
        return;
    }
    if (socket->bytesAvailable() < headerSize + qint64(bodySize))
        return;
    socket->skip(headerSize);
    QList<QByteArray> parts = socket->read(bodySize).split('\0');
    parts.removeLast(); // what follows the last terminator
    QStringList arguments;
    for (const QByteArray &part : parts)
        arguments << QString::fromUtf8(part);

    socket->write(frameHeader(0));
    // on its way before whatever the activation starts can hold up the loop
    socket->flush();
    socket->disconnectFromServer();
    Q_EMIT activationRequested(arguments);
}
