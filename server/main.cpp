// kumat-server: the reference storage server and its administration commands.

#include "apiserver.h"
#include "store.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>
#include <QString>
#include <QStringList>

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <map>
#include <thread>

using namespace kumat::server;

namespace {

const char *const usageText = R"(Usage: kumat-server <command> --data DIR [options]

Commands:
  serve         --cert PEM --key PEM [--listen ADDR] [--port N] [--downloads DIR] [--log]
                Serve the API over HTTPS (port 0 picks a free port). Prints
                "listening on https://ADDR:PORT" once it accepts connections.
  add-user      --email E [--password P]
                Without --password the password is read from standard input.
  put-file      --email E --path a/b.txt --from FILE [--device NAME]
                Store FILE at the path as a new file or the next version,
                creating missing folders, as another device would.
  portal-delete --email E --path P --kind KIND
                Move the item to the trash as the web portal does and leave a
                deletion record. KIND: deleted, deleted_items, tombstones,
                deleted_ids, flagged-deleted, flagged-is_deleted, flagged-deleted_at
  mobile-delete --email E --path P
                Move the item to the trash as the mobile application does (no record).
  move          --email E --path P --to NEW
                Rename or move a file or folder, keeping its id, as the web
                portal or another device does; missing folders are made.
  list          --email E [--json]
                The whole tree including the trash, with versions and digests.
  get           --email E (--path P | --id N) [--version N] --to FILE
                Copy the content of the current or a given version into FILE.
  restore       --email E (--path P | --id N)
                Bring an item back from the trash (its deletion records go away).
  empty-trash   --email E
                Remove trashed items for good, with their stored versions.
  fault         [--method M] --path-prefix /api/v1/... --action status|cut|corrupt|slow
                [--status N] [--count N] [--rate BYTES_PER_SECOND]
                Make the next N (default 1) matching requests fail: answer with
                the status (default 503), cut the connection halfway through the
                reply body, change one byte of it, or move the request and reply
                bodies at the given rate.
  clear-faults  Remove every pending fault.
)";

struct Args
{
    QString command;
    std::map<QString, QString> values;
    QStringList flags;

    QString value(const char *key) const
    {
        auto it = values.find(QLatin1String(key));
        return it == values.end() ? QString() : it->second;
    }
    bool has(const char *key) const { return values.count(QLatin1String(key)) > 0; }
    bool flag(const char *key) const { return flags.contains(QLatin1String(key)); }
};

int usage(const QString &problem = {})
{
    if (!problem.isEmpty())
        std::fprintf(stderr, "kumat-server: %s\n\n", qPrintable(problem));
    std::fputs(usageText, problem.isEmpty() ? stdout : stderr);
    return 2;
}

int fail(const QString &message)
{
    std::fprintf(stderr, "kumat-server: %s\n", message.toUtf8().constData());
    return 1;
}

int fail(const Outcome &outcome)
{
    return fail(outcome.message);
}

bool parseArgs(int argc, char **argv, Args *args, QString *problem)
{
    static const QStringList flagNames = {QStringLiteral("--json"), QStringLiteral("--log"), QStringLiteral("--help")};
    if (argc < 2) {
        *problem = QStringLiteral("a command is required");
        return false;
    }
    args->command = QString::fromLocal8Bit(argv[1]);
    for (int i = 2; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (flagNames.contains(arg)) {
            args->flags << arg.mid(2);
            continue;
        }
        if (!arg.startsWith(QLatin1String("--")) || i + 1 >= argc) {
            *problem = QStringLiteral("unexpected argument: ") + arg;
            return false;
        }
        args->values[arg.mid(2)] = QString::fromLocal8Bit(argv[++i]);
    }
    return true;
}

bool requireAll(const Args &args, std::initializer_list<const char *> keys, QString *problem)
{
    for (const char *key : keys) {
        if (!args.has(key) || args.value(key).isEmpty()) {
            *problem = QStringLiteral("--%1 is required for %2").arg(QLatin1String(key), args.command);
            return false;
        }
    }
    return true;
}

int serve(Store &store, const Args &args)
{
    ServeOptions options;
    options.dataDir = args.value("data");
    options.certPath = args.value("cert");
    options.keyPath = args.value("key");
    if (args.has("listen"))
        options.listen = args.value("listen");
    if (args.has("port")) {
        bool ok = false;
        options.port = args.value("port").toInt(&ok);
        if (!ok || options.port < 0 || options.port > 65535)
            return usage(QStringLiteral("--port needs a number from 0 to 65535"));
    }
    options.downloadsDir = args.value("downloads");
    options.log = args.flag("log");
    if (!QFile::exists(options.certPath) || !QFile::exists(options.keyPath))
        return fail(QStringLiteral("certificate or key file not found"));
    if (!options.downloadsDir.isEmpty() && !QFileInfo(options.downloadsDir).isDir())
        return fail(QStringLiteral("--downloads is not a folder: ") + options.downloadsDir);

    // stop cleanly on SIGINT/SIGTERM; a dropped client must not kill the process
    ::signal(SIGPIPE, SIG_IGN);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    ApiServer server(store, options);
    if (!server.valid())
        return fail(QStringLiteral("cannot load the certificate or the key"));
    const int port = server.bind();
    if (port <= 0)
        return fail(QStringLiteral("cannot listen on %1:%2").arg(options.listen).arg(options.port));

    std::thread waiter([&server, stopSignals] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        server.stop();
    });
    waiter.detach();

    const QString host = options.listen.contains(QLatin1Char(':')) ? QLatin1Char('[') + options.listen + QLatin1Char(']')
                                                                    : options.listen;
    std::printf("listening on https://%s:%d\n", qPrintable(host), port);
    std::fflush(stdout);
    return server.run() ? 0 : 1;
}

bool userFor(Store &store, const Args &args, User *user, int *code)
{
    const auto found = store.userByEmail(args.value("email"));
    if (!found) {
        *code = fail(QStringLiteral("no such user: ") + args.value("email"));
        return false;
    }
    *user = *found;
    return true;
}

// --id N or --path P (a trashed item is found by its last path element too)
bool nodeFor(Store &store, const Args &args, int64_t userId, Node *node, int *code)
{
    if (args.has("id")) {
        bool ok = false;
        const qint64 id = args.value("id").toLongLong(&ok);
        if (!ok) {
            *code = usage(QStringLiteral("--id needs a number"));
            return false;
        }
        node->id = id;
        return true;
    }
    if (!args.has("path")) {
        *code = usage(QStringLiteral("--path or --id is required"));
        return false;
    }
    const Outcome found = store.resolvePath(userId, args.value("path"), true, node);
    if (!found.ok()) {
        *code = fail(found);
        return false;
    }
    return true;
}

void printList(const QJsonArray &nodes)
{
    for (const QJsonValue &value : nodes) {
        const QJsonObject n = value.toObject();
        const bool folder = n.value(QStringLiteral("type")).toString() == QLatin1String("folder");
        QString line = QStringLiteral("%1  %2").arg(qint64(n.value(QStringLiteral("id")).toDouble()), 6)
                           .arg(folder ? QStringLiteral("folder") : QStringLiteral("file  "));
        if (folder) {
            line += QStringLiteral("  %1").arg(QString(), 4 + 2 + 64 + 2 + 10);
        } else {
            line += QStringLiteral("  v%1  %2  %3")
                        .arg(qint64(n.value(QStringLiteral("version")).toDouble()), -3)
                        .arg(n.value(QStringLiteral("sha256")).toString())
                        .arg(qint64(n.value(QStringLiteral("size")).toDouble()), 10);
        }
        line += QStringLiteral("  %1%2").arg(n.value(QStringLiteral("trashed")).toBool() ? QStringLiteral("[çöp] ") : QString(),
                                             n.value(QStringLiteral("path")).toString());
        const QJsonArray records = n.value(QStringLiteral("deletion_records")).toArray();
        for (const QJsonValue &r : records)
            line += QStringLiteral(" {%1}").arg(r.toString());
        std::printf("%s\n", line.toUtf8().constData());
        if (!folder) {
            for (const QJsonValue &v : n.value(QStringLiteral("versions")).toArray()) {
                const QJsonObject version = v.toObject();
                std::printf("          v%-3lld %s %10lld  %s %s\n", qint64(version.value(QStringLiteral("version")).toDouble()),
                            version.value(QStringLiteral("sha256")).toString().toLatin1().constData(),
                            qint64(version.value(QStringLiteral("size")).toDouble()),
                            version.value(QStringLiteral("device")).toString().toUtf8().constData(),
                            version.value(QStringLiteral("created_at")).toString().toUtf8().constData());
            }
        }
    }
}

int admin(Store &store, const Args &args)
{
    QString problem;
    const QString &cmd = args.command;
    int code = 0;
    User user;

    if (cmd == QLatin1String("add-user")) {
        if (!requireAll(args, {"email"}, &problem))
            return usage(problem);
        QString password = args.value("password");
        if (!args.has("password")) {
            // read from standard input, so the password need not appear in the process list
            QFile in;
            if (in.open(stdin, QIODevice::ReadOnly))
                password = QString::fromUtf8(in.readLine()).remove(QLatin1Char('\n')).remove(QLatin1Char('\r'));
        }
        const Outcome added = store.addUser(args.value("email"), password);
        return added.ok() ? 0 : fail(added);
    }
    if (cmd == QLatin1String("fault")) {
        if (!requireAll(args, {"path-prefix", "action"}, &problem))
            return usage(problem);
        Fault fault;
        const auto action = faultActionFromString(args.value("action"));
        if (!action)
            return usage(QStringLiteral("--action must be status, cut, corrupt or slow"));
        fault.action = *action;
        fault.method = args.value("method");
        fault.pathPrefix = args.value("path-prefix");
        fault.status = args.has("status") ? args.value("status").toInt() : 503;
        fault.remaining = args.has("count") ? args.value("count").toLongLong() : 1;
        fault.rate = args.value("rate").toLongLong();
        const Outcome added = store.addFault(fault);
        return added.ok() ? 0 : fail(added);
    }
    if (cmd == QLatin1String("clear-faults")) {
        const Outcome cleared = store.clearFaults();
        return cleared.ok() ? 0 : fail(cleared);
    }

    if (!requireAll(args, {"email"}, &problem))
        return usage(problem);
    if (!userFor(store, args, &user, &code))
        return code;

    if (cmd == QLatin1String("put-file")) {
        if (!requireAll(args, {"path", "from"}, &problem))
            return usage(problem);
        StagedBlob blob;
        QString error;
        if (!stageFile(store.tempDir(), args.value("from"), &blob, &error))
            return fail(error);
        Node stored;
        const Outcome put = store.putFile(user.id, args.value("path"), blob,
                                          args.has("device") ? args.value("device") : QStringLiteral("admin"), &stored);
        if (!put.ok())
            return fail(put);
        std::printf("%s\n", QJsonDocument(stored.toJson()).toJson(QJsonDocument::Compact).constData());
        return 0;
    }
    if (cmd == QLatin1String("portal-delete") || cmd == QLatin1String("mobile-delete")) {
        const bool portal = cmd == QLatin1String("portal-delete");
        if (!requireAll(args, portal ? std::initializer_list<const char *>{"path", "kind"} : std::initializer_list<const char *>{"path"},
                        &problem))
            return usage(problem);
        std::optional<RecordKind> kind;
        if (portal) {
            kind = recordKindFromString(args.value("kind"));
            if (!kind)
                return usage(QStringLiteral("unknown --kind: ") + args.value("kind"));
        }
        Node node;
        const Outcome found = store.resolvePath(user.id, args.value("path"), false, &node);
        if (!found.ok())
            return fail(found);
        const Outcome trashed = store.trashNode(user.id, node.id, kind);
        return trashed.ok() ? 0 : fail(trashed);
    }
    if (cmd == QLatin1String("move")) {
        if (!requireAll(args, {"path", "to"}, &problem))
            return usage(problem);
        Node node;
        const Outcome found = store.resolvePath(user.id, args.value("path"), false, &node);
        if (!found.ok())
            return fail(found);
        const Outcome moved = store.moveNode(user.id, node.id, args.value("to"));
        return moved.ok() ? 0 : fail(moved);
    }
    if (cmd == QLatin1String("list")) {
        const QJsonArray nodes = store.list(user.id);
        if (args.flag("json"))
            std::printf("%s\n", QJsonDocument(nodes).toJson(QJsonDocument::Indented).constData());
        else
            printList(nodes);
        return 0;
    }
    if (cmd == QLatin1String("get")) {
        if (!requireAll(args, {"to"}, &problem))
            return usage(problem);
        Node node;
        if (!nodeFor(store, args, user.id, &node, &code))
            return code;
        QString blobFile;
        const Outcome found = store.versionContent(user.id, node.id, args.value("version").toLongLong(), &blobFile);
        if (!found.ok())
            return fail(found);
        QFile in(blobFile);
        QSaveFile out(args.value("to"));
        if (!in.open(QIODevice::ReadOnly) || !out.open(QIODevice::WriteOnly))
            return fail(QStringLiteral("cannot copy the content"));
        while (!in.atEnd()) {
            const QByteArray chunk = in.read(1 << 16);
            if (chunk.isEmpty() || out.write(chunk) != chunk.size())
                return fail(QStringLiteral("cannot copy the content"));
        }
        return out.commit() ? 0 : fail(QStringLiteral("cannot write ") + args.value("to"));
    }
    if (cmd == QLatin1String("restore")) {
        Node node;
        if (!nodeFor(store, args, user.id, &node, &code))
            return code;
        const Outcome restored = store.restore(user.id, node.id);
        return restored.ok() ? 0 : fail(restored);
    }
    if (cmd == QLatin1String("empty-trash")) {
        int removed = 0;
        const Outcome emptied = store.emptyTrash(user.id, &removed);
        if (!emptied.ok())
            return fail(emptied);
        std::printf("%d\n", removed);
        return 0;
    }
    return usage(QStringLiteral("unknown command: ") + cmd);
}

} // namespace

int main(int argc, char **argv)
{
    Args args;
    QString problem;
    if (argc >= 2 && (QLatin1String(argv[1]) == QLatin1String("--help") || QLatin1String(argv[1]) == QLatin1String("help")))
        return usage();
    if (!parseArgs(argc, argv, &args, &problem))
        return usage(problem);
    if (args.flag("help"))
        return usage();
    static const QStringList known = {"serve", "add-user", "put-file", "portal-delete", "mobile-delete", "move", "list",
                                      "get", "restore", "empty-trash", "fault", "clear-faults"};
    if (!known.contains(args.command))
        return usage(QStringLiteral("unknown command: ") + args.command);
    if (!requireAll(args, {"data"}, &problem))
        return usage(problem);
    if (args.command == QLatin1String("serve") && !requireAll(args, {"cert", "key"}, &problem))
        return usage(problem);

    Store store;
    QString error;
    if (!store.open(args.value("data"), &error))
        return fail(error);
    if (args.command == QLatin1String("serve")) {
        store.removeStaleStaging();
        return serve(store, args);
    }
    return admin(store, args);
}
