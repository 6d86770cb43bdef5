#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// The reference server ($KUMAT_SERVER_BIN) on a free loopback port with a fresh
// data folder and the TestTls certificate, for integration tests. Users, files
// and deletions from "other devices" are made through the server's admin
// commands, which work on the data folder while the server runs. Every call
// waits until it is done; failures return false (or an empty value) and leave
// the command's output in lastError(). The server is stopped by the destructor;
// the data folder is kept when the current test failed.
class ReferenceServer : public QObject
{
    Q_OBJECT

public:
    explicit ReferenceServer(QObject *parent = nullptr);
    ~ReferenceServer() override;

    // Folder served under /downloads/ (latest.json, installers). By default a
    // "downloads" folder inside the data folder's parent temp dir, made at start().
    // Takes effect at the next start().
    void setDownloadsDir(const QString &dir);
    QString downloadsDir() const;

    // Where the next start() listens: 127.0.0.1 on a free port by default.
    void setListen(const QString &address, quint16 port);

    bool start();
    void stop();
    bool isRunning() const;

    // "https://localhost:<port>", and the same with 127.0.0.1 as host
    QString baseUrl() const;
    QString baseUrl(const QString &host) const;
    quint16 port() const { return listenPort; }
    QString dataDir() const;
    QString lastError() const { return error; }

    // admin commands
    bool addUser(const QString &email, const QString &password);
    // Stores content at path (folders made as needed) as a new file or its next
    // version, as another device would; `item` receives the stored node.
    bool putFile(const QString &email, const QString &path, const QByteArray &content, QJsonObject *item = nullptr);
    // kind: deleted, deleted_items, tombstones, deleted_ids, flagged-deleted,
    // flagged-is_deleted or flagged-deleted_at
    bool portalDelete(const QString &email, const QString &path, const QString &kind);
    bool mobileDelete(const QString &email, const QString &path);
    // renamed or moved on the web portal or another device, keeping its id
    bool move(const QString &email, const QString &path, const QString &to);
    // Every node including the trash: id, path, name, type, parent_id, version,
    // sha256, size, trashed, versions [{version, sha256, size, device, created_at}],
    // deletion_records [kinds]. Empty on failure.
    QJsonArray list(const QString &email);
    // The entry of list() with this path, preferring a live node; empty if none.
    QJsonObject node(const QString &email, const QString &path);
    // Content of a file's current version (version 0) or of an older one, also from the trash.
    QByteArray content(const QString &email, qint64 id, qint64 version = 0, bool *ok = nullptr);
    bool restore(const QString &email, qint64 id);
    bool emptyTrash(const QString &email);

    // Fault switch: the next `count` requests with this method ("" for any)
    // whose path starts with pathPrefix fail. action: "status" (answer with
    // `status` and an envelope), "cut" (announce the full length, send half,
    // close) or "corrupt" (full length, one byte changed).
    bool addFault(const QString &method, const QString &pathPrefix, const QString &action, int status = 503,
                  int count = 1);
    // The next `count` matching requests move their request and reply bodies
    // at `bytesPerSecond` (for stopping a transfer halfway, for instance).
    bool addSlowFault(const QString &method, const QString &pathPrefix, qint64 bytesPerSecond, int count = 1);
    bool clearFaults();

    // Runs one admin command on this data folder; `output` receives stdout.
    bool runAdmin(const QStringList &arguments, QByteArray *output = nullptr);

    static QString serverBinary();

private:
    QTemporaryDir temp;
    QProcess process;
    QString downloads;
    QString error;
    QString listenAddress = QStringLiteral("127.0.0.1");
    quint16 requestedPort = 0;
    quint16 listenPort = 0;
    bool stopping = false;
};
