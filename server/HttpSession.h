#pragma once

#include "server/Allowance.h"
#include "server/DatabaseWorkers.h"
#include "server/ServerMetrics.h"
#include "server/UserTable.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/file_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/span_body.hpp>

#include <memory>
#include <string>

class ConsoleFiles;
class HandshakeGate;
class RequestReader;
struct ServerConfig;

// What the sessions of one server share; the server outlives them all.
struct HttpContext
{
    const ServerConfig& config;
    const HandshakeGate& gate;
    DatabaseWorkers& workers;
    const ConsoleFiles& console;
    // Bytes of request bodies being read plus replies being written.
    Allowance& buffered;
    // Requests from their hand-over to the database until their reply is
    // written, so that a stop can let them finish.
    Allowance& answering;
    const Allowance& connections;
    ServerMetrics& metrics;
};

// One connection: reads a request, answers it, and reads the next, one at a
// time (a pipelining client waits in its own socket and in our read buffer,
// which is bounded). It lives as long as an operation of its own is pending:
// every handler holds a shared_ptr to it, and all of them run on the
// connection's strand. Each part has a deadline from its start: the header
// must be whole within one, the body within another, and a kept-alive
// connection may stay silent for a third; past one the socket is closed.
class HttpSession : public std::enable_shared_from_this<HttpSession>
{
public:
    // An empty `connection` share means the connection limit was reached:
    // the session answers 503 and closes.
    HttpSession(boost::asio::ip::tcp::socket&& socket, const HttpContext& context, Allowance::Share connection);
    ~HttpSession();
    HttpSession(const HttpSession&) = delete;
    HttpSession& operator=(const HttpSession&) = delete;

    void Start();

private:
    enum Phase { Idle, Header, Body, Answering, Writing, Lingering };
    enum Route { Api, ApiMethod, Files, Metrics, Health, NoPath };

    void Begin();
    void NextRequest();
    void Read();
    void OnRead(boost::beast::error_code error, std::size_t bytes);
    void Parse();
    void OnHeader();
    void OnRequest();
    // On the worker that answered: bytes of the reply sent at once, -1 when
    // it is too large to send from there, kSendFailed when the socket failed.
    qint64 SendAnswer(DatabaseWorkers::Answer&& answer);
    void OnAnswerSent(qint64 sent);
    void ServeFile();
    void ServeMetrics();
    void ServeHealth();
    // A JSON "result" with `status`; `close` ends the connection after it.
    void ReplyResult(int status, const QString& result, bool close);
    // `headLength`, when set, is the length a HEAD reply announces.
    void Reply(int status, const char* contentType, QByteArray body, bool close, qint64 headLength = -1);
    boost::beast::http::response<boost::beast::http::span_body<const char>>& PrepareReply(int status, const char* contentType,
                                                                                           QByteArray body, bool close,
                                                                                           qint64 headLength = -1);
    void CountReply();
    void Refuse(int status, const QString& result);
    template <class Message>
    void Write(Message& message);
    void OnWritten(boost::beast::error_code error, std::size_t bytes);
    void Linger();
    void Drain();
    void Close();
    bool IsHead() const;
    // Counts a chunked body's growth; false, having refused, past the budget.
    bool CountBody();
    void Log(int status, qint64 size);

    const HttpContext& m_context;
    boost::beast::tcp_stream m_stream;
    boost::beast::flat_buffer m_buffer;
    std::unique_ptr<RequestReader> m_reader;
    Allowance::Share m_connection;
    // This connection's part of the memory budget: its body, then its reply.
    Allowance::Share m_buffered;
    Allowance::Share m_answering;
    QString m_peer;
    Phase m_phase = Header;
    Route m_route = NoPath;
    bool m_keepAlive = false;
    // After a refusal the request's rest may still be on its way.
    bool m_refused = false;
    QElapsedTimer m_timer;
    QString m_cmd;
    // Who the request is done as (see UserTable).
    ServerUser m_user;
    bool m_known = false;
    int m_status = 0;
    qint64 m_replySize = 0;
    QByteArray m_replyBytes;
    // A reply as it goes on the wire, when its worker sent it.
    std::string m_wire;
    std::unique_ptr<boost::beast::http::response<boost::beast::http::span_body<const char>>> m_bytesReply;
    std::unique_ptr<boost::beast::http::response<boost::beast::http::file_body>> m_fileReply;
};
