#include "server/HttpSession.h"

#include "platform/Debugger.h"
#include "platform/HandshakeGate.h"
#include "server/ConsoleFiles.h"
#include "server/RequestReader.h"
#include "server/ServerConfig.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/buffers_range.hpp>
#include <boost/beast/http/serializer.hpp>
#include <boost/beast/http/write.hpp>

#include <atomic>
#include <cerrno>
#include <chrono>

#include <sys/socket.h>

namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace net = boost::asio;
using tcp = boost::asio::ip::tcp;

namespace {

// Read a little at a time: an idle or slow connection then costs little, and
// the parser still sees a whole header at once (the buffer holds several).
const std::size_t kReadSize = 16 * 1024;
const std::size_t kBufferLimit = 64 * 1024;
const qint64 kLargeBody = 1 << 20;
const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
const char kJson[] = "application/json";
const char kText[] = "text/plain; charset=utf-8";
// Answers up to this size are sent by the worker that made them.
const qint64 kSendAtOnce = 64 * 1024;
const qint64 kSendFailed = -2;

std::chrono::milliseconds ms(int value)
{
    return std::chrono::milliseconds(value);
}

// Under an attack every refusal would be a line; one in ten seconds says it.
std::atomic<qint64> g_lastBusyLine{0};

bool busyLineDue()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    qint64 last = g_lastBusyLine.load();
    return now - last >= 10000 && g_lastBusyLine.compare_exchange_strong(last, now);
}

} // namespace

HttpSession::HttpSession(tcp::socket&& socket, const HttpContext& context, Allowance::Share connection)
    : m_context(context)
    , m_stream(std::move(socket))
    , m_buffer(kBufferLimit)
    , m_connection(std::move(connection))
    , m_buffered(context.buffered)
    , m_answering(context.answering)
{
}

HttpSession::~HttpSession() = default;

void HttpSession::Start()
{
    net::dispatch(m_stream.get_executor(), beast::bind_front_handler(&HttpSession::Begin, shared_from_this()));
}

void HttpSession::Begin()
{
    beast::error_code error;
    const tcp::endpoint peer = m_stream.socket().remote_endpoint(error);
    m_peer = error ? QStringLiteral("?") : QString::fromStdString(peer.address().to_string());
    // A reply is written in two parts (head and body); with Nagle's algorithm
    // the second waits for the client's delayed acknowledgement, 40 ms.
    m_stream.socket().set_option(tcp::no_delay(true), error);
    m_timer.start();
    if (m_connection.Held() == 0) {
        if (busyLineDue())
            KIV_LOG("Server", "HttpSession::Begin", 1) << "Refusing connections with 503: " << m_context.config.maxConnections
                                                       << " are open (--max-connections)";
        m_reader = std::make_unique<RequestReader>(RequestReader::Limits());
        Refuse(503, QStringLiteral("Server busy, try again"));
        return;
    }
    // The first request's header is timed from the connection's start: a
    // client that connects and says nothing is a slow header.
    m_phase = Header;
    m_stream.expires_after(ms(m_context.config.headerTimeoutMs));
    NextRequest();
}

void HttpSession::NextRequest()
{
    const ServerConfig& config = m_context.config;
    RequestReader::Limits limits;
    limits.headerBytes = config.headerBytes;
    limits.headerFields = config.headerFields;
    limits.bodyBytes = config.maxBodyBytes;
    m_reader = std::make_unique<RequestReader>(limits);
    m_cmd.clear();
    m_known = false;
    m_refused = false;
    if (m_buffer.size() > 0) {
        // Pipelined: the next request is here already.
        m_phase = Header;
        m_stream.expires_after(ms(config.headerTimeoutMs));
        m_timer.start();
        Parse();
        return;
    }
    if (m_phase != Header) {
        m_phase = Idle;
        m_stream.expires_after(ms(config.idleTimeoutMs));
    }
    Read();
}

void HttpSession::Read()
{
    const std::size_t room = m_buffer.max_size() - m_buffer.size();
    m_stream.async_read_some(m_buffer.prepare(std::min(room, kReadSize)),
                             beast::bind_front_handler(&HttpSession::OnRead, shared_from_this()));
}

void HttpSession::OnRead(beast::error_code error, std::size_t bytes)
{
    m_buffer.commit(bytes);
    if (error) {
        // The peer left, or a deadline passed (the stream closed the socket).
        if (error == beast::error::timeout)
            KIV_LOG("Server", "HttpSession::OnRead", 3) << "Closing " << m_peer << ": no "
                                                        << (m_phase == Idle ? "request" : m_phase == Body ? "whole body" : "whole header")
                                                        << " in time";
        Close();
        return;
    }
    if (m_phase == Idle) {
        m_phase = Header;
        m_stream.expires_after(ms(m_context.config.headerTimeoutMs));
        m_timer.start();
    }
    Parse();
}

void HttpSession::Parse()
{
    const auto data = m_buffer.data();
    const std::size_t used = m_reader->Feed(static_cast<const char*>(data.data()), data.size());
    m_buffer.consume(used);
    if (m_phase == Body && !CountBody())
        return;
    switch (m_reader->Status()) {
    case RequestReader::ReadingHeader:
    case RequestReader::ReadingBody:
        // The reader takes everything of a body and refuses a header past its
        // limit, which is below the buffer's; a full buffer cannot happen.
        if (m_buffer.size() == m_buffer.max_size()) {
            Refuse(400, QStringLiteral("Malformed HTTP request: a line too long"));
            return;
        }
        Read();
        return;
    case RequestReader::HeaderDone:
        OnHeader();
        return;
    case RequestReader::Done:
        OnRequest();
        return;
    case RequestReader::Failed:
        Refuse(m_reader->FailureStatus(), m_reader->FailureText());
        return;
    }
}

bool HttpSession::CountBody()
{
    const qint64 grown = m_reader->BodySize() - m_buffered.Held();
    if (grown <= 0 || m_buffered.Take(grown))
        return true;
    if (busyLineDue())
        KIV_LOG("Server", "HttpSession::CountBody", 1) << "Refusing requests with 503: bodies and replies hold "
                                                       << m_context.buffered.InUse() << " bytes (--max-buffered-mib)";
    Refuse(503, QStringLiteral("Server busy, try again"));
    return false;
}

void HttpSession::OnHeader()
{
    const QByteArray& method = m_reader->Method();
    const bool get = method == "GET" || method == "HEAD";
    if (m_reader->Path() == "/api")
        m_route = method == "POST" ? Api : ApiMethod;
    // Without the token, like the console: neither holds anything secret,
    // and a lab's Prometheus scrapes without one.
    else if (get && m_reader->Path() == "/metrics")
        m_route = Metrics;
    else if (get && m_reader->Path() == "/healthz")
        m_route = Health;
    else
        m_route = (method == "GET" || method == "HEAD") && m_context.console.Enabled() ? Files : NoPath;
    if (m_route == Api) {
        QString reason;
        if (!m_context.gate.Admit(m_reader->Head() + "\r\n", reason)) {
            KIV_LOG("Server", "HttpSession::OnHeader", 1) << "Refused a request from " << m_peer << ": " << reason;
            Refuse(403, QStringLiteral("Forbidden: ") + reason);
            return;
        }
        // With a users file the request is done as the user its token names.
        m_user = ServerUser();
        if (!m_context.config.users.IsEmpty()) {
            const ServerUser* user = m_context.config.users.Identify(m_reader->Head(), reason);
            if (!user) {
                KIV_LOG("Server", "HttpSession::OnHeader", 1) << "Refused a request from " << m_peer << ": " << reason;
                Refuse(403, QStringLiteral("Forbidden: ") + reason);
                return;
            }
            m_user = *user;
        }
    }
    // The body is counted whole before the first byte of it is read. Large
    // bodies may fill three quarters of the budget: the rest is kept for the
    // small requests that stations send all the time, so that clients posting
    // large bodies slowly do not make the server busy for everyone.
    const qint64 length = qMax<qint64>(0, m_reader->ContentLength());
    const qint64 budget = m_context.buffered.Limit();
    const qint64 ceiling = length > kLargeBody ? qMax(budget - budget / 4, m_context.config.maxBodyBytes) : budget;
    if (!m_buffered.Take(length, ceiling)) {
        if (busyLineDue())
            KIV_LOG("Server", "HttpSession::OnHeader", 1) << "Refusing requests with 503: bodies and replies hold "
                                                          << m_context.buffered.InUse() << " bytes (--max-buffered-mib)";
        Refuse(503, QStringLiteral("Server busy, try again"));
        return;
    }
    m_reader->BeginBody();
    m_phase = Body;
    if (m_reader->Status() == RequestReader::ReadingBody) {
        m_stream.expires_after(ms(m_context.config.bodyTimeoutMs));
        if (m_reader->ExpectsContinue() && m_buffer.size() == 0) {
            net::async_write(m_stream, net::buffer(kContinue, sizeof kContinue - 1),
                             [self = shared_from_this()](beast::error_code error, std::size_t) {
                                 if (error)
                                     self->Close();
                                 else
                                     self->Parse();
                             });
            return;
        }
    }
    Parse();
}

void HttpSession::OnRequest()
{
    m_phase = Answering;
    m_stream.expires_never();
    m_keepAlive = m_reader->KeepAlive();
    switch (m_route) {
    case Api: {
        m_answering.Force(1);
        const auto executor = m_stream.get_executor();
        // The worker hands its reference on, so that the session never ends on a worker thread.
        // The worker sends a small answer itself: the client has it without
        // waiting for an I/O thread to wake, which on a machine of few cores
        // was a third of a request's time. Until the handler posted here runs,
        // the session has nothing pending, so nothing else touches it.
        m_context.workers.Post(m_reader->TakeBody(), m_user, [self = shared_from_this(), executor](DatabaseWorkers::Answer&& answer) mutable {
            const qint64 sent = self->SendAnswer(std::move(answer));
            net::post(executor, [self = std::move(self), sent] { self->OnAnswerSent(sent); });
        });
        return;
    }
    case ApiMethod:
        ReplyResult(405, QStringLiteral("Method %1 is not allowed on /api; send requests with POST")
                             .arg(QString::fromLatin1(m_reader->Method().left(100))),
                    false);
        return;
    case Files:
        ServeFile();
        return;
    case Metrics:
        ServeMetrics();
        return;
    case Health:
        ServeHealth();
        return;
    case NoPath:
        ReplyResult(404, QStringLiteral("No such path: %1; requests go to POST /api")
                             .arg(QString::fromUtf8(m_reader->Path().left(200))),
                    false);
        return;
    }
}

qint64 HttpSession::SendAnswer(DatabaseWorkers::Answer&& answer)
{
    m_cmd = answer.cmd;
    m_known = answer.known;
    if (answer.database == DatabaseWorkers::Answer::Answered)
        m_context.metrics.SetDatabase(ServerMetrics::DatabaseAnswered);
    else if (answer.database == DatabaseWorkers::Answer::Unavailable)
        m_context.metrics.SetDatabase(ServerMetrics::DatabaseUnavailable);
    else if (answer.database == DatabaseWorkers::Answer::Lost)
        m_context.metrics.SetDatabase(ServerMetrics::DatabaseLost);
    auto& reply = PrepareReply(answer.status, kJson, std::move(answer.reply), false);
    if (m_replyBytes.size() > kSendAtOnce)
        return -1;
    CountReply();
    // Header and body in one piece, sent without waiting: what the socket
    // does not take now is written by the I/O thread.
    http::serializer<false, http::span_body<const char>> serializer(reply);
    beast::error_code error;
    m_wire.clear();
    m_wire.reserve(std::size_t(m_replyBytes.size()) + 256);
    while (!error && !serializer.is_done()) {
        serializer.next(error, [&](beast::error_code&, const auto& buffers) {
            for (const net::const_buffer piece : beast::buffers_range_ref(buffers))
                m_wire.append(static_cast<const char*>(piece.data()), piece.size());
            serializer.consume(beast::buffer_bytes(buffers));
        });
    }
    m_bytesReply.reset();
    m_replyBytes.clear();
    if (error)
        return kSendFailed;
    const ssize_t sent = ::send(m_stream.socket().native_handle(), m_wire.data(), m_wire.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : kSendFailed;
    return qint64(sent);
}

void HttpSession::OnAnswerSent(qint64 sent)
{
    if (sent == -1) {
        Write(*m_bytesReply);
        return;
    }
    if (sent == kSendFailed) {
        OnWritten(net::error::broken_pipe, 0);
        return;
    }
    if (std::size_t(sent) == m_wire.size()) {
        OnWritten({}, 0);
        return;
    }
    m_phase = Writing;
    m_stream.expires_after(ms(m_context.config.writeTimeoutMs));
    net::async_write(m_stream, net::buffer(m_wire.data() + sent, m_wire.size() - std::size_t(sent)),
                     beast::bind_front_handler(&HttpSession::OnWritten, shared_from_this()));
}

void HttpSession::ServeFile()
{
    QString file;
    const ConsoleFiles::Outcome found = m_context.console.Resolve(m_reader->Path(), file);
    if (found == ConsoleFiles::Refused) {
        ReplyResult(400, QStringLiteral("The path leaves the console folder: %1").arg(QString::fromUtf8(m_reader->Path().left(200))),
                    false);
        return;
    }
    http::file_body::value_type body;
    beast::error_code error;
    if (found == ConsoleFiles::Found)
        body.open(file.toLocal8Bit().constData(), beast::file_mode::scan, error);
    if (found != ConsoleFiles::Found || error) {
        ReplyResult(404, QStringLiteral("No such path: %1; requests go to POST /api").arg(QString::fromUtf8(m_reader->Path().left(200))),
                    false);
        return;
    }
    const QByteArray type = ConsoleFiles::ContentType(file);
    if (IsHead()) {
        Reply(200, type.constData(), QByteArray(), false, qint64(body.size()));
        return;
    }
    // Streamed from the file a few KiB at a time: a large file costs no more
    // memory than a small one, so it is not counted in the budget. Ranges
    // are not served; the whole file is the answer to any of them.
    m_status = 200;
    m_replySize = qint64(body.size());
    m_fileReply = std::make_unique<http::response<http::file_body>>(http::status::ok, m_reader->Version());
    auto& reply = *m_fileReply;
    reply.set(http::field::content_type, beast::string_view(type.constData(), std::size_t(type.size())));
    reply.keep_alive(m_keepAlive);
    reply.body() = std::move(body);
    reply.prepare_payload();
    Write(reply);
}

void HttpSession::ServeMetrics()
{
    ServerMetrics::Gauges gauges;
    gauges.workers = m_context.workers.Count();
    gauges.workersBusy = m_context.workers.Busy();
    gauges.waiting = m_context.workers.Waiting();
    gauges.connections = m_context.connections.InUse();
    gauges.bufferedBytes = m_context.buffered.InUse();
    const DatabaseWorkers::JobGauges jobs = m_context.workers.Jobs();
    gauges.jobsCounted = jobs.read;
    gauges.jobsRunning = jobs.running;
    gauges.jobsWaiting = jobs.waiting;
    gauges.stationsSeen = jobs.stationsSeen;
    gauges.jobsQueued = jobs.queued;
    gauges.stationsOnline = jobs.stationsOnline;
    QByteArray page = m_context.metrics.Render(gauges);
    const qint64 length = page.size();
    Reply(200, ServerMetrics::ContentType(), IsHead() ? QByteArray() : std::move(page), false, length);
}

void HttpSession::ServeHealth()
{
    QString reason;
    const bool healthy = m_context.metrics.Healthy(reason);
    QByteArray page = healthy ? QByteArray("ok\n") : reason.toUtf8() + '\n';
    const qint64 length = page.size();
    Reply(healthy ? 200 : 503, kText, IsHead() ? QByteArray() : std::move(page), false, length);
}

bool HttpSession::IsHead() const
{
    return m_reader && m_reader->Method() == "HEAD";
}

void HttpSession::ReplyResult(int status, const QString& result, bool close)
{
    Reply(status, kJson, QJsonDocument(QJsonObject{{QStringLiteral("result"), result}}).toJson(QJsonDocument::Compact), close);
}

void HttpSession::Reply(int status, const char* contentType, QByteArray body, bool close, qint64 headLength)
{
    Write(PrepareReply(status, contentType, std::move(body), close, headLength));
}

http::response<http::span_body<const char>>& HttpSession::PrepareReply(int status, const char* contentType, QByteArray body, bool close,
                                                                       qint64 headLength)
{
    m_status = status;
    m_replyBytes = std::move(body);
    m_replySize = headLength >= 0 ? headLength : m_replyBytes.size();
    // The reply exists already: refusing it would free nothing, but later
    // requests see it in the budget until it is written.
    m_buffered.Force(m_replyBytes.size());
    m_bytesReply = std::make_unique<http::response<http::span_body<const char>>>(http::status(status), m_reader->Version());
    auto& reply = *m_bytesReply;
    reply.set(http::field::content_type, contentType);
    if (status == 405)
        reply.set(http::field::allow, "POST");
    m_keepAlive = !close && m_reader->Status() == RequestReader::Done && m_reader->KeepAlive();
    reply.keep_alive(m_keepAlive);
    if (IsHead()) {
        reply.content_length(std::uint64_t(m_replySize));
    } else {
        reply.body() = http::span_body<const char>::value_type(m_replyBytes.constData(), std::size_t(m_replyBytes.size()));
        reply.prepare_payload();
    }
    return reply;
}

void HttpSession::Refuse(int status, const QString& result)
{
    m_refused = true;
    ReplyResult(status, result, true);
}

template <class Message>
void HttpSession::Write(Message& message)
{
    CountReply();
    m_stream.expires_after(ms(m_context.config.writeTimeoutMs));
    http::async_write(m_stream, message, beast::bind_front_handler(&HttpSession::OnWritten, shared_from_this()));
}

void HttpSession::CountReply()
{
    m_phase = Writing;
    // Counted before the write, so that a client holding its reply finds it
    // in the next scrape.
    const QString cmd = m_cmd.isEmpty() ? QStringLiteral("none") : m_known ? m_cmd : QStringLiteral("other");
    m_context.metrics.Count(cmd, m_status, m_timer.nsecsElapsed());
}

void HttpSession::OnWritten(beast::error_code error, std::size_t)
{
    Log(m_status, m_replySize);
    m_bytesReply.reset();
    m_fileReply.reset();
    m_replyBytes.clear();
    m_wire.clear();
    m_replySize = 0;
    m_buffered.Release();
    m_answering.Release();
    if (error) {
        Close();
    } else if (m_refused) {
        Linger();
    } else if (!m_keepAlive) {
        beast::error_code ignored;
        m_stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
    } else {
        m_phase = Idle;
        NextRequest();
    }
}

void HttpSession::Log(int status, qint64 size)
{
    if (!Debugger::Enabled(3))
        return;
    const bool known = m_reader && m_reader->HasMethod();
    KIV_LOG("Server", "request", 3) << m_peer << " " << (known ? QString::fromLatin1(m_reader->Method().left(20)) : QStringLiteral("-"))
                                    << " " << (known ? QString::fromUtf8(m_reader->Path().left(200)) : QStringLiteral("-")) << " "
                                    << status << " " << (m_cmd.isEmpty() ? QStringLiteral("-") : m_cmd) << " " << size << " bytes "
                                    << QString::number(m_timer.nsecsElapsed() / 1e6, 'f', 2) << " ms";
}

void HttpSession::Linger()
{
    // Closing with unread bytes would reset the connection, and the peer
    // might lose the refusal; so the write side ends first and what still
    // comes is read and dropped for a while.
    m_phase = Lingering;
    beast::error_code ignored;
    m_stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
    m_buffer.consume(m_buffer.size());
    m_stream.expires_after(ms(m_context.config.lingerMs));
    Drain();
}

void HttpSession::Drain()
{
    m_stream.async_read_some(m_buffer.prepare(kReadSize), [self = shared_from_this()](beast::error_code error, std::size_t) {
        if (error)
            self->Close();
        else
            self->Drain();
    });
}

void HttpSession::Close()
{
    beast::error_code ignored;
    m_stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
    m_stream.close();
}
