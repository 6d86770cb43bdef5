#pragma once

#include "apiclient.h"
#include "syncengine.h"

#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// The six counters of one pass as its summary notification reports them.
struct PassCounters
{
    int uploaded = -1;
    int downloaded = -1;
    int archived = -1;
    int trashed = -1;
    int localDeleted = -1;
    int errors = -1;
};

struct Notice
{
    QString title;
    QString message;
    int severity = -1;
};

// One desktop: a client signed in to a server, an engine on its own folder, and
// everything the engine reported during the last pass.
class Device : public QObject
{
    Q_OBJECT

public:
    explicit Device(const QString &folder, QObject *parent = nullptr);

    bool signIn(const QString &baseUrl, const QString &email, const QString &password);

    // One whole pass: start() runs it, stop() disarms every trigger afterwards
    // so nothing runs behind the test's back between passes.
    void pass();

    QString path(const QString &relative) const;
    bool write(const QString &relative, const QByteArray &content);
    QByteArray read(const QString &relative) const;
    bool exists(const QString &relative) const;
    // Files below a folder, relative to it, sorted; engine entries included.
    QStringList filesUnder(const QString &relative) const;
    QJsonObject savedState() const;
    QByteArray stateFileBytes() const;

    bool logged(const QString &line) const { return logs.contains(line); }
    bool loggedStartingWith(const QString &prefix) const;
    int countLogged(const QString &line) const { return int(logs.count(line)); }
    // The summary of the pass, or all -1 when the pass did not complete.
    PassCounters counters() const;
    const Notice *lastNotice() const { return notices.isEmpty() ? nullptr : &notices.last(); }
    bool noticed(const QString &title) const;

    QString folder;
    ApiClient api;
    SyncEngine engine;
    QStringList logs;
    QList<Notice> notices;
};

// The reference server, started once per test binary, with a fresh account
// and fresh sync folders per test, and an own HOME and data folder so that
// the platform trash lands in the test's temporary folder.
class PassFixture
{
public:
    PassFixture();
    ~PassFixture();

    bool start(bool withServer = true); // initTestCase
    bool beginTest();      // init: a new account, no devices
    void endTest();        // cleanup

    QString email() const { return accountEmail; }
    QString password() const { return QStringLiteral("parola-123"); }

    // A device signed in to the account, on its own folder.
    Device *device(const QString &name = QStringLiteral("a"));
    // The files put on the server by another device, and the first device
    // after one pass over them.
    Device *synced(const QMap<QString, QByteArray> &files);

    // The freedesktop trash of this test process.
    QString trashFilesDir() const;
    QString dataHome() const;

    QTemporaryDir home;
    QTemporaryDir *work = nullptr;
    class ReferenceServer *server = nullptr;

private:
    QString accountEmail;
    QMap<QString, Device *> devices;
    int accountCounter = 0;
};

QString sha256Hex(const QByteArray &content);
