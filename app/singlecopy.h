#pragma once

#include <QObject>
#include <QStringList>

class QLocalServer;
class QLocalSocket;

// One running copy of the program per user (and, on Windows, per session):
// autostart and a start from the menu must not give two programs syncing one
// folder. The first copy listens on a local socket (a named pipe on Windows);
// a later start hands its command line over to it and ends.
class SingleCopy : public QObject
{
    Q_OBJECT

public:
    explicit SingleCopy(const QString &serverName = defaultServerName(), QObject *parent = nullptr);

    // True when this is the first copy, which from then on receives the
    // arguments of every later start through activationRequested. False when a
    // running copy answered and took these arguments: the caller starts nothing.
    // Also true, without listening, where no local socket can be had at all:
    // a program that runs is better than none.
    bool claim(const QStringList &arguments);

    bool isListening() const;

    // How long a later start waits for the running copy to confirm the
    // hand-over; it ends without the confirmation, as the running copy is
    // there but busy.
    void setAnswerTimeout(int msecs);

    // Derived from the application name, the user, the home folder and on
    // Windows the session (named pipes are visible across sessions).
    // KUMAT_SINGLE_COPY_NAME replaces it, so that a test run of the program
    // never meets the user's own copy or another test.
    static QString defaultServerName();

Q_SIGNALS:
    void activationRequested(const QStringList &arguments);

private:
    bool handOver(const QStringList &arguments) const;
    bool listen();
    void serve(QLocalSocket *socket);
    void readRequest(QLocalSocket *socket);

    QString name;
    QLocalServer *server = nullptr;
    int answerTimeout = 10000;
};
