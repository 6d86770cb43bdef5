#include "referenceserver.h"

#include "testprocess.h"
#include "testtls.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryFile>
#include <QTest>

namespace {
constexpr int startTimeoutMs = 20000;
constexpr int commandTimeoutMs = 60000;
} // namespace

ReferenceServer::ReferenceServer(QObject *parent) : QObject(parent)
{
    // the server's complaints go straight to the test log; stdout carries the port
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // every request after this fails, so the first failure to look at is this
    connect(&process, &QProcess::finished, this, [this](int code, QProcess::ExitStatus status) {
        if (!stopping && listenPort != 0)
            qWarning("the reference server on port %d ended on its own: %s, exit code %d", listenPort,
                     status == QProcess::CrashExit ? "crashed" : "exited", code);
    });
}

ReferenceServer::~ReferenceServer()
{
    stop();
    temp.setAutoRemove(!QTest::currentTestFailed());
    if (!temp.autoRemove())
        qWarning("reference server data kept in %s", qPrintable(temp.path()));
}

QString ReferenceServer::serverBinary()
{
    return qEnvironmentVariable("KUMAT_SERVER_BIN");
}

void ReferenceServer::setDownloadsDir(const QString &dir)
{
    downloads = dir;
}

QString ReferenceServer::downloadsDir() const
{
    return downloads.isEmpty() ? temp.filePath(QStringLiteral("downloads")) : downloads;
}

QString ReferenceServer::dataDir() const
{
    return temp.filePath(QStringLiteral("data"));
}

void ReferenceServer::setListen(const QString &address, quint16 port)
{
    listenAddress = address;
    requestedPort = port;
}

bool ReferenceServer::isRunning() const
{
    return process.state() == QProcess::Running && listenPort != 0;
}

bool ReferenceServer::start()
{
    stop();
    error.clear();
    if (serverBinary().isEmpty()) {
        error = QStringLiteral("KUMAT_SERVER_BIN is not set");
        return false;
    }
    if (!temp.isValid() || !TestTls::ensure()) {
        error = QStringLiteral("no temporary folder or test certificate");
        return false;
    }
    QDir().mkpath(dataDir());
    QDir().mkpath(downloadsDir());
    const QStringList arguments{QStringLiteral("serve"), QStringLiteral("--data"), dataDir(), QStringLiteral("--cert"),
                                TestTls::certificatePath(), QStringLiteral("--key"), TestTls::keyPath(),
                                QStringLiteral("--listen"), listenAddress, QStringLiteral("--port"),
                                QString::number(requestedPort), QStringLiteral("--downloads"), downloadsDir()};
    if (!TestProcess::start(process, serverBinary(), arguments, startTimeoutMs)) {
        error = QStringLiteral("cannot start ") + serverBinary() + QStringLiteral(": ") + process.errorString();
        return false;
    }
    static const QRegularExpression listening(QStringLiteral("^listening on https://[^ ]+:(\\d+)\\s*$"));
    QDeadlineTimer deadline(startTimeoutMs);
    while (!deadline.hasExpired()) {
        while (process.canReadLine()) {
            const QString line = QString::fromUtf8(process.readLine());
            const auto match = listening.match(line);
            if (match.hasMatch()) {
                listenPort = quint16(match.captured(1).toUInt());
                return true;
            }
        }
        if (process.state() != QProcess::Running)
            break;
        process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    }
    error = QStringLiteral("the server did not report its port; exit code %1").arg(process.exitCode());
    stop();
    return false;
}

void ReferenceServer::stop()
{
    stopping = true;
    if (process.state() != QProcess::NotRunning) {
        process.terminate();
        if (!process.waitForFinished(5000)) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    listenPort = 0;
    stopping = false;
}

QString ReferenceServer::baseUrl() const
{
    return baseUrl(QStringLiteral("localhost"));
}

QString ReferenceServer::baseUrl(const QString &host) const
{
    return QStringLiteral("https://%1:%2").arg(host).arg(listenPort);
}

bool ReferenceServer::runAdmin(const QStringList &arguments, QByteArray *output)
{
    error.clear();
    if (serverBinary().isEmpty()) {
        error = QStringLiteral("KUMAT_SERVER_BIN is not set");
        return false;
    }
    QDir().mkpath(dataDir());
    QStringList args = arguments;
    args.insert(1, QStringLiteral("--data"));
    args.insert(2, dataDir());
    QProcess admin;
    if (!TestProcess::start(admin, serverBinary(), args, commandTimeoutMs) || !admin.waitForFinished(commandTimeoutMs)) {
        admin.kill();
        admin.waitForFinished();
        error = QStringLiteral("admin command did not finish: ") + arguments.join(QLatin1Char(' '));
        return false;
    }
    const QByteArray out = admin.readAllStandardOutput();
    if (output)
        *output = out;
    if (admin.exitStatus() != QProcess::NormalExit || admin.exitCode() != 0) {
        error = QString::fromUtf8(admin.readAllStandardError()).trimmed();
        if (error.isEmpty())
            error = QStringLiteral("admin command failed: ") + arguments.join(QLatin1Char(' '));
        return false;
    }
    return true;
}

bool ReferenceServer::addUser(const QString &email, const QString &password)
{
    return runAdmin({QStringLiteral("add-user"), QStringLiteral("--email"), email, QStringLiteral("--password"), password});
}

bool ReferenceServer::putFile(const QString &email, const QString &path, const QByteArray &content, QJsonObject *item)
{
    QTemporaryFile source(temp.filePath(QStringLiteral("put-XXXXXX")));
    if (!source.open() || source.write(content) != content.size() || !source.flush()) {
        error = QStringLiteral("cannot write the temporary source file");
        return false;
    }
    QByteArray out;
    if (!runAdmin({QStringLiteral("put-file"), QStringLiteral("--email"), email, QStringLiteral("--path"), path,
                   QStringLiteral("--from"), source.fileName()},
                  &out))
        return false;
    if (item)
        *item = QJsonDocument::fromJson(out).object();
    return true;
}

bool ReferenceServer::portalDelete(const QString &email, const QString &path, const QString &kind)
{
    return runAdmin({QStringLiteral("portal-delete"), QStringLiteral("--email"), email, QStringLiteral("--path"), path,
                     QStringLiteral("--kind"), kind});
}

bool ReferenceServer::mobileDelete(const QString &email, const QString &path)
{
    return runAdmin({QStringLiteral("mobile-delete"), QStringLiteral("--email"), email, QStringLiteral("--path"), path});
}

bool ReferenceServer::move(const QString &email, const QString &path, const QString &to)
{
    return runAdmin({QStringLiteral("move"), QStringLiteral("--email"), email, QStringLiteral("--path"), path,
                     QStringLiteral("--to"), to});
}

QJsonArray ReferenceServer::list(const QString &email)
{
    QByteArray out;
    if (!runAdmin({QStringLiteral("list"), QStringLiteral("--email"), email, QStringLiteral("--json")}, &out))
        return {};
    return QJsonDocument::fromJson(out).array();
}

QJsonObject ReferenceServer::node(const QString &email, const QString &path)
{
    QJsonObject found;
    for (const QJsonValue &value : list(email)) {
        const QJsonObject n = value.toObject();
        if (n.value(QStringLiteral("path")).toString() != path)
            continue;
        if (!n.value(QStringLiteral("trashed")).toBool())
            return n;
        found = n;
    }
    return found;
}

QByteArray ReferenceServer::content(const QString &email, qint64 id, qint64 version, bool *ok)
{
    const QString target = temp.filePath(QStringLiteral("content-%1-%2").arg(id).arg(version));
    const bool done = runAdmin({QStringLiteral("get"), QStringLiteral("--email"), email, QStringLiteral("--id"),
                                QString::number(id), QStringLiteral("--version"), QString::number(version),
                                QStringLiteral("--to"), target});
    if (ok)
        *ok = done;
    QFile file(target);
    if (!done || !file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray data = file.readAll();
    file.remove();
    return data;
}

bool ReferenceServer::restore(const QString &email, qint64 id)
{
    return runAdmin({QStringLiteral("restore"), QStringLiteral("--email"), email, QStringLiteral("--id"), QString::number(id)});
}

bool ReferenceServer::emptyTrash(const QString &email)
{
    return runAdmin({QStringLiteral("empty-trash"), QStringLiteral("--email"), email});
}

bool ReferenceServer::addFault(const QString &method, const QString &pathPrefix, const QString &action, int status, int count)
{
    QStringList args{QStringLiteral("fault"), QStringLiteral("--path-prefix"), pathPrefix, QStringLiteral("--action"), action,
                     QStringLiteral("--status"), QString::number(status), QStringLiteral("--count"), QString::number(count)};
    if (!method.isEmpty())
        args << QStringLiteral("--method") << method;
    return runAdmin(args);
}

bool ReferenceServer::addSlowFault(const QString &method, const QString &pathPrefix, qint64 bytesPerSecond, int count)
{
    QStringList args{QStringLiteral("fault"), QStringLiteral("--path-prefix"), pathPrefix, QStringLiteral("--action"),
                     QStringLiteral("slow"), QStringLiteral("--rate"), QString::number(bytesPerSecond),
                     QStringLiteral("--count"), QString::number(count)};
    if (!method.isEmpty())
        args << QStringLiteral("--method") << method;
    return runAdmin(args);
}

bool ReferenceServer::clearFaults()
{
    return runAdmin({QStringLiteral("clear-faults")});
}
