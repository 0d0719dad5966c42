#include "server/ApiServer.h"

#include "platform/Debugger.h"

#include <QElapsedTimer>
#include <QStringList>
#include <QJsonDocument>
#include <QJsonObject>

#include <httplib.h>

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace {

// What the request log line of this thread's current request says.
thread_local QElapsedTimer t_timer;
thread_local QString t_cmd;

const char* const kJson = "application/json";

// The library listens with a backlog of 5 connections, compiled in: many
// clients connecting at once overflow it and some of them hang until their
// time-out. Listening again on the bound socket raises the backlog.
class HttpServer : public httplib::Server
{
public:
    bool RaiseBacklog() { return ::listen(svr_sock_, SOMAXCONN) == 0; }
};

} // namespace

ApiServer::ApiServer(const ServerConfig& config)
    : m_config(config)
    , m_workers(config.database, config.databaseWork, config.jobLeaseMs)
{
    if (!config.origins.isEmpty())
        m_gate.SetAllowedOrigins(config.origins);
    m_gate.SetToken(config.token);
}

ApiServer::~ApiServer()
{
    Stop();
}

void ApiServer::SetJson(httplib::Response& response, int status, const QString& result)
{
    response.status = status;
    const QByteArray body = QJsonDocument(QJsonObject{{QStringLiteral("result"), result}}).toJson(QJsonDocument::Compact);
    response.set_content(body.constData(), size_t(body.size()), kJson);
}

bool ApiServer::Admitted(const httplib::Request& request, httplib::Response& response) const
{
    // The gate reads a request head as the WebSocket server receives it.
    QByteArray head = QByteArray::fromStdString(request.method + ' ' + request.target + ' ' + request.version + "\r\n");
    for (const auto& header : request.headers)
        head += QByteArray::fromStdString(header.first + ": " + header.second + "\r\n");
    head += "\r\n";
    QString reason;
    if (m_gate.Admit(head, reason))
        return true;
    KIV_LOG("Server", "ApiServer::Admitted", 1) << "Refused a request from " << QString::fromStdString(request.remote_addr)
                                                << ": " << reason;
    response.set_header("Connection", "close");
    SetJson(response, 403, QStringLiteral("Forbidden: ") + reason);
    return false;
}

void ApiServer::ServeApi(const httplib::Request&, httplib::Response& response, const QByteArray& body)
{
    int status = 200;
    const QByteArray reply = m_workers.Answer(body, status, t_cmd);
    response.status = status;
    response.set_content(reply.constData(), size_t(reply.size()), kJson);
}

void ApiServer::Route()
{
    httplib::Server& server = *m_server;
    const size_t maxBody = size_t(m_config.maxBodyBytes);
    server.set_payload_max_length(maxBody);
    // A connection is served by one thread for as long as it stays open, so
    // every open connection of a station holds a thread; the default count
    // of 5 requests would make busy clients reconnect all the time.
    server.set_keep_alive_max_count(100000);
    // A reply is written in two parts (head and body); with Nagle's algorithm
    // the second waits for the client's delayed acknowledgement, 40 ms.
    server.set_tcp_nodelay(true);

    server.set_pre_routing_handler([](const httplib::Request&, httplib::Response&) {
        t_timer.start();
        t_cmd.clear();
        return httplib::Server::HandlerResponse::Unhandled;
    });
    server.set_logger([](const httplib::Request& request, const httplib::Response& response) {
        KIV_LOG("Server", "request", 3) << QString::fromStdString(request.remote_addr) << " "
                                        << QString::fromStdString(request.method) << " "
                                        << QString::fromStdString(request.path) << " " << response.status << " "
                                        << (t_cmd.isEmpty() ? QStringLiteral("-") : t_cmd) << " "
                                        << int(response.body.size()) << " bytes "
                                        << QString::number(t_timer.nsecsElapsed() / 1e6, 'f', 2) << " ms";
    });

    // With a content reader the body is not read before the handler runs:
    // the library would otherwise refuse form-encoded bodies (what the
    // host's remote route sends) of more than 8 KiB, and parse them as a form.
    server.Post("/api", [this, maxBody](const httplib::Request& request, httplib::Response& response,
                                        const httplib::ContentReader& reader) {
        if (!Admitted(request, response))
            return;
        std::string body;
        bool tooLarge = false;
        const bool read = reader([&](const char* data, size_t length) {
            if (body.size() + length > maxBody) {
                tooLarge = true;
                return false;
            }
            body.append(data, length);
            return true;
        });
        if (!read || tooLarge) {
            // The rest of the body is still on its way; the connection cannot be reused.
            response.set_header("Connection", "close");
            if (tooLarge || response.status == 413)
                SetJson(response, 413, QStringLiteral("The request body is larger than the limit of %1 bytes").arg(maxBody));
            else
                SetJson(response, 400, QStringLiteral("The request body could not be read"));
            return;
        }
        ServeApi(request, response, QByteArray::fromRawData(body.data(), int(body.size())));
    });
    const auto notAllowed = [](const httplib::Request& request, httplib::Response& response) {
        response.set_header("Allow", "POST");
        SetJson(response, 405, QStringLiteral("Method %1 is not allowed on /api; send requests with POST")
                                   .arg(QString::fromStdString(request.method)));
    };
    server.Get("/api", notAllowed);
    server.Put("/api", notAllowed);
    server.Patch("/api", notAllowed);
    server.Delete("/api", notAllowed);
    server.Options("/api", notAllowed);

    if (!m_config.consoleDir.isEmpty() && !server.set_mount_point("/", m_config.consoleDir.toStdString()))
        KIV_LOG("Server", "ApiServer::Route", 1) << "No console: " << m_config.consoleDir << " is not a directory";

    // Statuses the library sets itself (no such path, a body over the limit,
    // a request it cannot parse) get a JSON body too.
    server.set_error_handler([](const httplib::Request& request, httplib::Response& response) {
        if (!response.body.empty())
            return;
        if (response.status == 404)
            SetJson(response, 404, QStringLiteral("No such path: %1; requests go to POST /api")
                                       .arg(QString::fromStdString(request.path).left(200)));
        else if (response.status == 413)
            SetJson(response, 413, QStringLiteral("The request is larger than the server accepts"));
        else
            SetJson(response, response.status, QStringLiteral("HTTP status %1").arg(response.status));
    });
}

bool ApiServer::Start(QString& error)
{
    m_server.reset(new HttpServer);
    // The library's default sets SO_REUSEPORT alone: a second server could
    // share the port unnoticed, and a restart fails while the last run's
    // connections linger in TIME_WAIT. SO_REUSEADDR is what a server wants.
    m_server->set_socket_options([](socket_t sock) {
        const int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    });
    const size_t threads = size_t(qMax(1, m_config.threads));
    m_server->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    Route();
    const std::string host = m_config.address.toStdString();
    errno = 0;
    if (m_config.port == 0)
        m_port = m_server->bind_to_any_port(host);
    else
        m_port = m_server->bind_to_port(host, m_config.port) ? m_config.port : -1;
    if (m_port <= 0) {
        error = QStringLiteral("can't listen on %1:%2: %3")
                    .arg(m_config.address)
                    .arg(m_config.port)
                    .arg(QString::fromLocal8Bit(std::strerror(errno)));
        m_server.reset();
        return false;
    }
    if (!static_cast<HttpServer*>(m_server.get())->RaiseBacklog())
        KIV_LOG("Server", "ApiServer::Start", 1) << "Can't raise the listen backlog: " << std::strerror(errno);
    // The console served on another port is an origin of its own.
    if (m_config.origins.isEmpty() && m_port != 8080) {
        QStringList origins = HandshakeGate::DefaultOrigins();
        origins << QStringLiteral("http://127.0.0.1:%1").arg(m_port) << QStringLiteral("http://localhost:%1").arg(m_port);
        m_gate.SetAllowedOrigins(origins);
    }
    m_workers.Start();
    m_thread = std::thread([this] { m_server->listen_after_bind(); });
    return true;
}

void ApiServer::Stop()
{
    if (!m_server)
        return;
    m_server->stop();
    if (m_thread.joinable())
        m_thread.join();
    // Only once no HTTP thread can hand over a request any more.
    m_workers.Stop();
    m_server.reset();
}
