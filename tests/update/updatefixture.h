#pragma once

#include "scriptedserver.h"
#include "updatemanager.h"

#include <QCryptographicHash>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QStringList>
#include <QVariantList>

// Every signal of one UpdateManager in the order it arrived, with its arguments.
class SignalTrace
{
public:
    explicit SignalTrace(UpdateManager *manager)
    {
        auto record = [this](const char *name, QVariantList args) {
            names.append(QString::fromLatin1(name));
            arguments.append(args);
        };
        connections << QObject::connect(manager, &UpdateManager::log, manager,
                         [record](const QString &m) { record("log", {m}); });
        connections << QObject::connect(manager, &UpdateManager::updateAvailable, manager,
                         [record](const QString &v, const QString &n) { record("updateAvailable", {v, n}); });
        connections << QObject::connect(manager, &UpdateManager::checkFailed, manager,
                         [record](const QString &m) { record("checkFailed", {m}); });
        connections << QObject::connect(manager, &UpdateManager::checkCompleted, manager,
                         [record](const QString &v) { record("checkCompleted", {v}); });
        connections << QObject::connect(manager, &UpdateManager::downloadProgress, manager,
                         [record](qint64 r, qint64 t) { record("downloadProgress", {r, t}); });
        connections << QObject::connect(manager, &UpdateManager::updateReady, manager,
                         [record](const QString &p) { record("updateReady", {p}); });
        connections << QObject::connect(manager, &UpdateManager::downloadFailed, manager,
                         [record](const QString &m) { record("downloadFailed", {m}); });
    }
    ~SignalTrace()
    {
        for (const QMetaObject::Connection &c : std::as_const(connections))
            QObject::disconnect(c);
    }
    SignalTrace(const SignalTrace &) = delete;
    SignalTrace &operator=(const SignalTrace &) = delete;

    // progress reports vary with how the transfer was chunked; outcomes do
    // not, and log lines are none
    QStringList outcomes() const
    {
        QStringList result = names;
        result.removeAll(QStringLiteral("downloadProgress"));
        result.removeAll(QStringLiteral("log"));
        return result;
    }
    int count(const QString &name) const { return names.count(name); }
    bool checkEnded() const { return count(QStringLiteral("checkFailed")) + count(QStringLiteral("checkCompleted")) > 0; }
    bool downloadEnded() const { return count(QStringLiteral("updateReady")) + count(QStringLiteral("downloadFailed")) > 0; }
    QVariantList last(const QString &name) const
    {
        const int i = names.lastIndexOf(name);
        return i < 0 ? QVariantList() : arguments.at(i);
    }
    void clear()
    {
        names.clear();
        arguments.clear();
    }

    QStringList names;
    QList<QVariantList> arguments;

private:
    QList<QMetaObject::Connection> connections;
};

// Answers by request path; anything unknown gets a 404.
class RoutedServer : public ScriptedHttpsServer
{
public:
    RoutedServer()
    {
        setHandler([this](const ScriptedRequest &request) {
            return routes.value(request.target, ScriptedResponse::json(404, "{}"));
        });
    }
    QUrl url(const QString &path, const QString &host = QStringLiteral("localhost")) const
    {
        return QUrl(baseUrl(host) + path);
    }
    int hits(const QByteArray &target) const
    {
        int n = 0;
        for (const ScriptedRequest &r : requests)
            n += r.target == target ? 1 : 0;
        return n;
    }

    QHash<QByteArray, ScriptedResponse> routes;
};

inline QByteArray manifestJson(const QString &version, const QString &downloadUrl, const QString &sha256)
{
    QJsonObject o;
    o.insert(QStringLiteral("version"), version);
    o.insert(QStringLiteral("download_url"), downloadUrl);
    o.insert(QStringLiteral("sha256"), sha256);
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

inline QString sha256Hex(const QByteArray &data)
{
    return QString::fromLatin1(QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex());
}

inline ScriptedResponse bodyResponse(const QByteArray &body)
{
    ScriptedResponse r;
    r.headers.append({QByteArray("Content-Type"), QByteArray("application/octet-stream")});
    r.body = body;
    return r;
}
