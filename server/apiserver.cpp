#include "apiserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <httplib.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <chrono>
#include <map>
#include <thread>
#include <vector>

namespace kumat::server {

namespace {

constexpr size_t jsonBodyLimit = 64 * 1024;
constexpr size_t formFieldLimit = 4096;
constexpr size_t chunkSize = 64 * 1024;

const char *const jsonType = "application/json; charset=utf-8";

// An open file shared by the content provider and its releaser.
struct OpenFile
{
    int fd = -1;
    ~OpenFile()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

// Holds a transfer to a given byte rate (for the slow fault).
class Pacer
{
public:
    explicit Pacer(int64_t rate) : rate(rate) {}
    size_t chunk(size_t wanted) const { return rate > 0 ? std::min(wanted, size_t(std::max<int64_t>(1, rate / 10))) : wanted; }
    void account(size_t n)
    {
        if (rate <= 0)
            return;
        bytes += int64_t(n);
        std::this_thread::sleep_until(start + std::chrono::milliseconds(bytes * 1000 / rate));
    }

private:
    int64_t rate;
    int64_t bytes = 0;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
};

int64_t slowRate(const std::optional<Fault> &fault)
{
    return fault && fault->action == Fault::Slow ? fault->rate : 0;
}

// Sends `body`, or the faulty version of it the switch asks for: half of it and
// then a cut connection under the full Content-Length, the same length with
// one byte changed, or the body at a crawl.
void sendBody(httplib::Response &res, std::string body, const char *type, const std::optional<Fault> &fault)
{
    if (fault && fault->action == Fault::Corrupt && !body.empty())
        body[body.size() / 2] = char(body[body.size() / 2] ^ 0x5a);
    if (slowRate(fault) > 0 && !body.empty()) {
        auto shared = std::make_shared<std::string>(std::move(body));
        auto pacer = std::make_shared<Pacer>(slowRate(fault));
        res.set_content_provider(shared->size(), type, [shared, pacer](size_t offset, size_t length, httplib::DataSink &sink) {
            const size_t n = pacer->chunk(length);
            if (!sink.write(shared->data() + offset, n))
                return false;
            pacer->account(n);
            return true;
        });
        return;
    }
    if (fault && fault->action == Fault::Cut) {
        auto shared = std::make_shared<std::string>(std::move(body));
        const size_t half = shared->size() / 2;
        res.set_content_provider(shared->size(), type, [shared, half](size_t offset, size_t, httplib::DataSink &sink) {
            if (offset < half)
                sink.write(shared->data() + offset, half - offset);
            return false;
        });
        return;
    }
    res.set_content(body, type);
}

// A snapshot of a large tree runs to megabytes and is kept between requests:
// hand the kept text to the connection as it is instead of copying it twice.
void sendShared(httplib::Response &res, const QByteArray &body, const char *type, const std::optional<Fault> &fault)
{
    if (fault) {
        sendBody(res, body.toStdString(), type, fault);
        return;
    }
    res.set_content_provider(size_t(body.size()), type, [body](size_t offset, size_t length, httplib::DataSink &sink) {
        const size_t n = std::min<size_t>(length, 256 * 1024);
        return sink.write(body.constData() + offset, n);
    });
}

void sendJson(httplib::Response &res, int status, const QJsonObject &object, const std::optional<Fault> &fault = {})
{
    res.status = status;
    const QByteArray json = QJsonDocument(object).toJson(QJsonDocument::Compact);
    sendBody(res, json.toStdString(), jsonType, fault);
}

void sendError(httplib::Response &res, int status, const QString &message, const std::optional<Fault> &fault = {})
{
    QJsonObject o;
    o.insert(QStringLiteral("ok"), false);
    o.insert(QStringLiteral("message"), message);
    sendJson(res, status, o, fault);
}

void sendOutcome(httplib::Response &res, const Outcome &outcome, const std::optional<Fault> &fault = {})
{
    sendError(res, outcome.status, outcome.message, fault);
}

// Streams a file from disk; `size` is announced as Content-Length.
void sendFile(httplib::Response &res, int fd, int64_t size, const char *type, const std::optional<Fault> &fault)
{
    auto file = std::make_shared<OpenFile>();
    file->fd = fd;
    if (size == 0) {
        res.status = 200;
        res.set_content(std::string(), type);
        return;
    }
    const bool corrupt = fault && fault->action == Fault::Corrupt && size > 0;
    const bool cut = fault && fault->action == Fault::Cut;
    const uint64_t flipAt = uint64_t(size) / 2;
    auto pacer = std::make_shared<Pacer>(slowRate(fault));
    res.status = 200;
    res.set_content_provider(
        size_t(size), type,
        [file, corrupt, cut, flipAt, pacer](size_t offset, size_t length, httplib::DataSink &sink) {
            if (cut && offset >= flipAt)
                return false;
            std::vector<char> buffer(pacer->chunk(std::min(length, chunkSize)));
            if (cut)
                buffer.resize(std::min<size_t>(buffer.size(), flipAt - offset));
            ssize_t n;
            do {
                n = ::pread(file->fd, buffer.data(), buffer.size(), off_t(offset));
            } while (n < 0 && errno == EINTR);
            if (n <= 0)
                return false; // the announced length cannot be met: drop the connection
            if (corrupt && flipAt >= offset && flipAt < offset + size_t(n))
                buffer[flipAt - offset] = char(buffer[flipAt - offset] ^ 0x5a);
            if (!sink.write(buffer.data(), size_t(n)))
                return false;
            pacer->account(size_t(n));
            return true;
        },
        [file](bool) {});
}

QString bearerToken(const httplib::Request &req)
{
    const std::string header = req.get_header_value("Authorization");
    static const std::string prefix = "Bearer ";
    if (header.size() <= prefix.size() || header.compare(0, prefix.size(), prefix) != 0)
        return {};
    return QString::fromStdString(header.substr(prefix.size())).trimmed();
}

// Reads a small request body, refusing anything larger than the limit. The
// body is always read to its end so the connection stays usable.
bool readSmallBody(const httplib::ContentReader &reader, std::string *body, bool *tooLarge)
{
    *tooLarge = false;
    return reader([&](const char *data, size_t length) {
        if (body->size() + length > jsonBodyLimit)
            *tooLarge = true;
        else
            body->append(data, length);
        return true;
    });
}

void drain(const httplib::Request &req, const httplib::ContentReader &reader)
{
    if (req.is_multipart_form_data())
        reader([](const httplib::MultipartFormData &) { return true; }, [](const char *, size_t) { return true; });
    else
        reader([](const char *, size_t) { return true; });
}

std::optional<int64_t> parseId(const std::string &text)
{
    if (text.empty() || text.size() > 18)
        return std::nullopt;
    int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

// Reads a JSON id that may be null or absent (meaning the top of the tree).
bool readParentId(const QJsonObject &body, int64_t *parentId)
{
    const QJsonValue v = body.value(QStringLiteral("parent_id"));
    if (v.isUndefined() || v.isNull()) {
        *parentId = 0;
        return true;
    }
    if (!v.isDouble())
        return false;
    const double d = v.toDouble();
    if (d < 1 || d > 9007199254740991.0 || d != double(int64_t(d)))
        return false;
    *parentId = int64_t(d);
    return true;
}

const QString msgUnauthenticated = QStringLiteral("Oturum açılmamış veya oturum geçersiz.");
const QString msgSnapshotFailed = QStringLiteral("Dosya ağacı okunamadı; daha sonra yeniden deneyin.");
const QString msgBadJson = QStringLiteral("İstek gövdesi geçerli bir JSON nesnesi değil.");
const QString msgTooLarge = QStringLiteral("İstek gövdesi çok büyük.");

} // namespace

ApiServer::ApiServer(Store &store, const ServeOptions &options) : store(store), options(options)
{
    const QByteArray cert = QFile::encodeName(options.certPath);
    const QByteArray key = QFile::encodeName(options.keyPath);
    http = std::make_unique<httplib::SSLServer>(cert.constData(), key.constData());
    const int threads = options.threads;
    http->new_task_queue = [threads] { return new httplib::ThreadPool(size_t(threads)); };
    // a throttled client may pause between reads; the client itself gives up after 60 s
    http->set_read_timeout(90);
    http->set_write_timeout(90);
    http->set_keep_alive_timeout(30);
    http->set_keep_alive_max_count(1000);
    http->set_tcp_nodelay(true);
    // the library's default also sets SO_REUSEPORT, which would let a second
    // server on the same port silently take half of the connections
    http->set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    });
    if (options.log) {
        http->set_logger([](const httplib::Request &req, const httplib::Response &res) {
            std::fprintf(stderr, "%s %s -> %d\n", req.method.c_str(), req.path.c_str(), res.status);
        });
    }
    routes();
}

ApiServer::~ApiServer() = default;

bool ApiServer::valid() const
{
    return http->is_valid();
}

int ApiServer::bind()
{
    const std::string host = options.listen.toStdString();
    if (options.port == 0)
        return http->bind_to_any_port(host);
    return http->bind_to_port(host, options.port) ? options.port : -1;
}

bool ApiServer::run()
{
    return http->listen_after_bind();
}

void ApiServer::stop()
{
    http->stop();
}

void ApiServer::routes()
{
    using httplib::ContentReader;
    using httplib::Request;
    using httplib::Response;

    auto takeFault = [this](const Request &req) {
        return store.takeFault(QString::fromStdString(req.method), QString::fromStdString(req.path));
    };
    auto authenticate = [this](const Request &req, QString *device = nullptr) {
        return store.userForToken(bearerToken(req), device);
    };

    http->set_error_handler(httplib::Server::HandlerWithResponse([](const Request &, Response &res) {
        if (!res.body.empty() || res.content_length_ > 0)
            return httplib::Server::HandlerResponse::Unhandled;
        QString message;
        switch (res.status) {
        case 404: message = QStringLiteral("İstenen adres bulunamadı."); break;
        case 413: message = msgTooLarge; break;
        case 400: message = QStringLiteral("Geçersiz istek."); break;
        default: message = QStringLiteral("İstek işlenemedi (HTTP %1).").arg(res.status); break;
        }
        sendError(res, res.status, message);
        return httplib::Server::HandlerResponse::Handled;
    }));
    http->set_exception_handler([](const Request &, Response &res, std::exception_ptr) {
        sendError(res, 500, QStringLiteral("Sunucu iç hatası."));
    });

    http->Post("/api/v1/auth/login", [this, takeFault](const Request &req, Response &res, const ContentReader &reader) {
        std::string raw;
        bool tooLarge = false;
        const auto fault = takeFault(req);
        if (!readSmallBody(reader, &raw, &tooLarge))
            return sendError(res, 400, QStringLiteral("İstek gövdesi okunamadı."));
        if (fault && fault->action == Fault::Status)
            return sendError(res, fault->status, QStringLiteral("Sunucu geçici olarak yanıt veremiyor."));
        if (tooLarge)
            return sendError(res, 413, msgTooLarge);
        const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(raw));
        if (!doc.isObject())
            return sendError(res, 400, msgBadJson);
        const QJsonObject body = doc.object();
        for (const char *key : {"email", "password"}) {
            if (!body.value(QLatin1String(key)).isString())
                return sendError(res, 400, QStringLiteral("Eksik veya geçersiz alan: ") + QLatin1String(key));
        }
        const QJsonValue device = body.value(QStringLiteral("device_name"));
        if (!device.isUndefined() && !device.isString())
            return sendError(res, 400, QStringLiteral("Eksik veya geçersiz alan: device_name"));
        QString token;
        const Outcome outcome = store.login(body.value(QStringLiteral("email")).toString(),
                                            body.value(QStringLiteral("password")).toString(), device.toString(), &token);
        if (!outcome.ok())
            return sendOutcome(res, outcome, fault);
        QJsonObject reply;
        reply.insert(QStringLiteral("ok"), true);
        reply.insert(QStringLiteral("token"), token);
        sendJson(res, 200, reply, fault);
    });

    http->Get("/api/v1/me", [takeFault, authenticate](const Request &req, Response &res) {
        const auto fault = takeFault(req);
        if (fault && fault->action == Fault::Status)
            return sendError(res, fault->status, QStringLiteral("Sunucu geçici olarak yanıt veremiyor."));
        QString device;
        const auto user = authenticate(req, &device);
        if (!user)
            return sendError(res, 401, msgUnauthenticated);
        QJsonObject u;
        u.insert(QStringLiteral("id"), double(user->id));
        u.insert(QStringLiteral("email"), user->email);
        QJsonObject reply;
        reply.insert(QStringLiteral("ok"), true);
        reply.insert(QStringLiteral("user"), u);
        reply.insert(QStringLiteral("device_name"), device);
        sendJson(res, 200, reply, fault);
    });

    http->Get("/api/v1/sync/snapshot", [this, takeFault, authenticate](const Request &req, Response &res) {
        const auto fault = takeFault(req);
        if (fault && fault->action == Fault::Status)
            return sendError(res, fault->status, QStringLiteral("Sunucu geçici olarak yanıt veremiyor."));
        const auto user = authenticate(req);
        if (!user)
            return sendError(res, 401, msgUnauthenticated);
        const QByteArray snapshot = store.snapshot(user->id);
        if (snapshot.isEmpty())
            return sendError(res, 500, msgSnapshotFailed);
        res.status = 200;
        sendShared(res, snapshot, jsonType, fault);
    });

    http->Post("/api/v1/folders", [this, takeFault, authenticate](const Request &req, Response &res, const ContentReader &reader) {
        std::string raw;
        bool tooLarge = false;
        const auto fault = takeFault(req);
        if (!readSmallBody(reader, &raw, &tooLarge))
            return sendError(res, 400, QStringLiteral("İstek gövdesi okunamadı."));
        if (fault && fault->action == Fault::Status)
            return sendError(res, fault->status, QStringLiteral("Sunucu geçici olarak yanıt veremiyor."));
        const auto user = authenticate(req);
        if (!user)
            return sendError(res, 401, msgUnauthenticated);
        if (tooLarge)
            return sendError(res, 413, msgTooLarge);
        const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(raw));
        if (!doc.isObject())
            return sendError(res, 400, msgBadJson);
        const QJsonObject body = doc.object();
        if (!body.value(QStringLiteral("name")).isString())
            return sendError(res, 400, QStringLiteral("Eksik veya geçersiz alan: name"));
        int64_t parentId = 0;
        if (!readParentId(body, &parentId))
            return sendError(res, 400, QStringLiteral("Geçersiz alan: parent_id (null veya pozitif bir tamsayı olmalı)"));
        Node folder;
        const Outcome outcome = store.createFolder(user->id, parentId, body.value(QStringLiteral("name")).toString(), &folder);
        if (!outcome.ok())
            return sendOutcome(res, outcome, fault);
        QJsonObject reply;
        reply.insert(QStringLiteral("ok"), true);
        reply.insert(QStringLiteral("item"), folder.toJson());
        sendJson(res, 200, reply, fault);
    });

    http->Delete(R"(/api/v1/nodes/([^/]+))", [this, takeFault, authenticate](const Request &req, Response &res,
                                                                             const ContentReader &reader) {
        // a body has no meaning here; read it past without keeping it
        drain(req, reader);
        const auto fault = takeFault(req);
        if (fault && fault->action == Fault::Status)
            return sendError(res, fault->status, QStringLiteral("Sunucu geçici olarak yanıt veremiyor."));
        const auto user = authenticate(req);
        if (!user)
            return sendError(res, 401, msgUnauthenticated);
        const auto id = parseId(req.matches[1]);
        if (!id)
            return sendError(res, 404, QStringLiteral("Öğe bulunamadı."));
        const Outcome outcome = store.trashNode(user->id, *id, std::nullopt);
        if (!outcome.ok())
            return sendOutcome(res, outcome, fault);
        QJsonObject reply;
        reply.insert(QStringLiteral("ok"), true);
        sendJson(res, 200, reply, fault);
    });

    http->Post("/api/v1/files/upload", [this, takeFault, authenticate](const Request &req, Response &res,
                                                                       const ContentReader &reader) {
        const auto fault = takeFault(req);
        QString device;
        const auto user = authenticate(req, &device);
        if (!user || (fault && fault->action == Fault::Status)) {
            // read the refused body to its end so the client sees the answer, not a reset
            drain(req, reader);
            if (fault && fault->action == Fault::Status)
                return sendError(res, fault->status, QStringLiteral("Sunucu geçici olarak yanıt veremiyor."));
            return sendError(res, 401, msgUnauthenticated);
        }
        if (!req.is_multipart_form_data()) {
            drain(req, reader);
            return sendError(res, 400, QStringLiteral("Yükleme multipart/form-data biçiminde olmalı."));
        }

        std::map<std::string, std::string> fields;
        std::string current;
        int fileParts = 0;
        bool fieldTooLarge = false;
        bool diskFailed = false;
        QString diskError;
        BlobWriter writer(store.tempDir());
        Pacer pacer(slowRate(fault));
        const bool complete = reader(
            [&](const httplib::MultipartFormData &part) {
                current = part.name;
                if (current == "file") {
                    if (++fileParts == 1 && !writer.open(&diskError))
                        diskFailed = true;
                } else if (fields.count(current)) {
                    fieldTooLarge = true; // a field given twice is as ambiguous as an oversized one
                } else {
                    fields[current];
                }
                return true;
            },
            [&](const char *data, size_t length) {
                pacer.account(length);
                if (current == "file") {
                    if (fileParts == 1 && !diskFailed && !writer.write(data, length))
                        diskFailed = true;
                    // stop reading when the disk refuses: nothing more can be stored
                    return !diskFailed;
                }
                std::string &value = fields[current];
                if (value.size() + length > formFieldLimit)
                    fieldTooLarge = true;
                else
                    value.append(data, length);
                return true;
            });
        if (diskFailed) {
            res.set_header("Connection", "close");
            return sendError(res, 507, QStringLiteral("Dosya sunucuda diske yazılamadı: ") + diskError);
        }
        if (!complete)
            return sendError(res, 400, QStringLiteral("Yükleme eksik veya bozuk geldi; hiçbir şey kaydedilmedi."));
        if (fieldTooLarge)
            return sendError(res, 400, QStringLiteral("Form alanı çok uzun ya da birden fazla kez gönderildi."));
        if (fileParts != 1)
            return sendError(res, 400, fileParts == 0 ? QStringLiteral("Eksik alan: file")
                                                      : QStringLiteral("Yalnızca bir dosya gönderilebilir."));
        auto name = fields.find("name");
        if (name == fields.end())
            return sendError(res, 400, QStringLiteral("Eksik alan: name"));
        const QString nameText = QString::fromUtf8(name->second.data(), int(name->second.size()));
        if (nameText.toUtf8() != QByteArray::fromStdString(name->second))
            return sendError(res, 400, QStringLiteral("Ad geçerli UTF-8 değil."));
        int64_t parentId = 0;
        if (auto p = fields.find("parent_id"); p != fields.end()) {
            const auto id = parseId(p->second);
            if (!id || *id < 1)
                return sendError(res, 400, QStringLiteral("Geçersiz alan: parent_id (pozitif bir tamsayı olmalı)"));
            parentId = *id;
        }
        int64_t expected = -1;
        if (auto e = fields.find("expected_version"); e != fields.end()) {
            const auto v = parseId(e->second);
            if (!v)
                return sendError(res, 400, QStringLiteral("Geçersiz alan: expected_version (bir tamsayı olmalı)"));
            expected = *v;
        }
        StagedBlob blob;
        if (!writer.finish(&blob, &diskError))
            return sendError(res, 507, QStringLiteral("Dosya sunucuda diske yazılamadı: ") + diskError);
        Node stored;
        const Outcome outcome = store.commitUpload(user->id, parentId, nameText, expected, blob,
                                                   device.isEmpty() ? QStringLiteral("api") : device, &stored);
        if (!outcome.ok())
            return sendOutcome(res, outcome, fault);
        QJsonObject reply;
        reply.insert(QStringLiteral("ok"), true);
        reply.insert(QStringLiteral("item"), stored.toJson());
        sendJson(res, 200, reply, fault);
    });

    http->Get(R"(/api/v1/files/([^/]+)/download)", [this, takeFault, authenticate](const Request &req, Response &res) {
        const auto fault = takeFault(req);
        if (fault && fault->action == Fault::Status)
            return sendError(res, fault->status, QStringLiteral("Sunucu geçici olarak yanıt veremiyor."));
        const auto user = authenticate(req);
        if (!user)
            return sendError(res, 401, msgUnauthenticated);
        const auto id = parseId(req.matches[1]);
        Node file;
        const Outcome outcome = id ? store.fileForDownload(user->id, *id, &file)
                                   : Outcome::fail(404, QStringLiteral("Dosya bulunamadı."));
        if (!outcome.ok())
            return sendOutcome(res, outcome);
        const int fd = ::open(QFile::encodeName(store.blobPath(file.sha256)).constData(), O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_size != file.size) {
            if (fd >= 0)
                ::close(fd);
            return sendError(res, 500, QStringLiteral("Dosyanın içeriği sunucuda okunamadı."));
        }
        sendFile(res, fd, file.size, "application/octet-stream", fault);
    });

    http->Get(R"(/downloads/([^/]+))", [this, takeFault](const Request &req, Response &res) {
        const auto fault = takeFault(req);
        if (fault && fault->action == Fault::Status)
            return sendError(res, fault->status, QStringLiteral("Sunucu geçici olarak yanıt veremiyor."));
        const QString name = QString::fromUtf8(req.matches[1].str().c_str());
        if (options.downloadsDir.isEmpty() || !nameProblem(name).isEmpty() || name.startsWith(QLatin1Char('.')))
            return sendError(res, 404, QStringLiteral("Dosya bulunamadı."));
        const QString path = QDir(options.downloadsDir).filePath(name);
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            if (fd >= 0)
                ::close(fd);
            return sendError(res, 404, QStringLiteral("Dosya bulunamadı."));
        }
        const char *type = name.endsWith(QLatin1String(".json")) ? jsonType : "application/octet-stream";
        sendFile(res, fd, st.st_size, type, fault);
    });
}

} // namespace kumat::server
