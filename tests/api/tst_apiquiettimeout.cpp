// The download's own transfer timeout: a reply that stays quiet for the whole
// allowance ends as Qt's transfer timeout would end it, and one whose data keeps
// coming may take far longer than the allowance.

#include "followedreply_p.h"
#include "quiettimeout_p.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

// Plain HTTP is enough here: answers a GET with a header announcing `announced`
// bytes, then sends `pieces` single bytes `pauseMs` apart and keeps quiet.
// headerDelayMs < 0 never answers at all.
class TricklingServer : public QObject
{
public:
    int headerDelayMs = 0;
    int pieces = 0;
    int pauseMs = 0;
    int announced = 0;

    bool listen()
    {
        connect(&server, &QTcpServer::newConnection, this, &TricklingServer::accept);
        return server.listen(QHostAddress::LocalHost);
    }
    QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/f").arg(server.serverPort())); }

private:
    void accept()
    {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            auto received = std::make_shared<QByteArray>();
            connect(socket, &QTcpSocket::readyRead, this, [this, socket, received] {
                const bool complete = received->contains("\r\n\r\n");
                received->append(socket->readAll());
                if (!complete && received->contains("\r\n\r\n") && headerDelayMs >= 0)
                    QTimer::singleShot(headerDelayMs, socket, [this, socket] { answer(socket, 0); });
            });
        }
    }

    void answer(QTcpSocket *socket, int sent)
    {
        if (sent == 0)
            socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: "
                          + QByteArray::number(announced) + "\r\n\r\n");
        if (sent == pieces)
            return;
        socket->write("x");
        QTimer::singleShot(pauseMs, socket, [this, socket, sent] { answer(socket, sent + 1); });
    }

    QTcpServer server;
};

} // namespace

class TestApiQuietTimeout : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void endsOnlyAQuietReply_data();
    void endsOnlyAQuietReply();
};

void TestApiQuietTimeout::endsOnlyAQuietReply_data()
{
    QTest::addColumn<int>("headerDelayMs");
    QTest::addColumn<int>("pieces");
    QTest::addColumn<int>("pauseMs");
    QTest::addColumn<int>("announced");
    QTest::addColumn<bool>("aborted");
    QTest::addColumn<int>("minimumMs"); // the reply may not end earlier than this

    // allowance 400 ms throughout
    QTest::newRow("no answer") << -1 << 0 << 0 << 10 << true << 400;
    QTest::newRow("header, then silence") << 0 << 0 << 0 << 10 << true << 400;
    QTest::newRow("part of the body, then silence") << 0 << 3 << 50 << 10 << true << 500;
    QTest::newRow("slow header within the allowance") << 250 << 10 << 0 << 10 << false << 250;
    QTest::newRow("trickle outlasting the allowance") << 0 << 12 << 100 << 12 << false << 1100;
}

void TestApiQuietTimeout::endsOnlyAQuietReply()
{
    QFETCH(int, headerDelayMs);
    QFETCH(int, pieces);
    QFETCH(int, pauseMs);
    QFETCH(int, announced);
    QFETCH(bool, aborted);
    QFETCH(int, minimumMs);

    TricklingServer server;
    server.headerDelayMs = headerDelayMs;
    server.pieces = pieces;
    server.pauseMs = pauseMs;
    server.announced = announced;
    QVERIFY(server.listen());

    QNetworkAccessManager network;
    QNetworkRequest request(server.url());
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
    QElapsedTimer clock;
    clock.start();
    FollowedReply followed(&network, request, network.get(request), true);
    QuietTimeout quiet(&followed, 400);
    QByteArray body;
    connect(&followed, &FollowedReply::readyRead, this, [&] { body += followed.reply()->readAll(); });
    QSignalSpy finished(&followed, &FollowedReply::finished);

    QVERIFY(finished.wait(10000));
    const qint64 elapsed = clock.elapsed();
    QNetworkReply *reply = followed.reply();
    QVERIFY2(elapsed >= minimumMs, qPrintable(QString::number(elapsed)));
    if (aborted) {
        // what Qt's own transfer timeout leaves behind
        QCOMPARE(reply->error(), QNetworkReply::OperationCanceledError);
        QVERIFY2(elapsed < minimumMs + 2000, qPrintable(QString::number(elapsed)));
    } else {
        QCOMPARE(reply->error(), QNetworkReply::NoError);
        QCOMPARE(body, QByteArray(pieces, 'x'));
    }
    reply->deleteLater();
}

QTEST_GUILESS_MAIN(TestApiQuietTimeout)
#include "tst_apiquiettimeout.moc"
