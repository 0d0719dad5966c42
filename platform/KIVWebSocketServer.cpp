#include "platform/KIVWebSocketServer.h"

#include "platform/Debugger.h"
#include "platform/WebSocketHandler.h"

#include <QDateTime>
#include <QMetaObject>
#include <QTcpSocket>
#include <QWebSocket>

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

QByteArray statusLine(int status)
{
    switch (status) {
    case 200: return QByteArrayLiteral("200 OK");
    case 400: return QByteArrayLiteral("400 Bad Request");
    case 403: return QByteArrayLiteral("403 Forbidden");
    case 404: return QByteArrayLiteral("404 Not Found");
    case 405: return QByteArrayLiteral("405 Method Not Allowed");
    case 426: return QByteArrayLiteral("426 Upgrade Required");
    default: return QByteArrayLiteral("503 Service Unavailable");
    }
}

} // namespace

KIVWebSocketServer::KIVWebSocketServer(const QString& name, QObject* parent)
    : QObject(parent)
    , m_server(name, QWebSocketServer::NonSecureMode)
{
    m_listener.setMaxPendingConnections(AcceptBatch);
    connect(&m_listener, &QTcpServer::newConnection, this, &KIVWebSocketServer::OnTcpConnection);
    connect(&m_listener, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError) {
        PauseAccepting(m_listener.errorString());
    });
    connect(&m_server, &QWebSocketServer::newConnection, this, &KIVWebSocketServer::OnNewConnection);
    m_tick.setInterval(1000);
    connect(&m_tick, &QTimer::timeout, this, &KIVWebSocketServer::OnTick);
}

KIVWebSocketServer::~KIVWebSocketServer()
{
    Close();
}

QString KIVWebSocketServer::Key(const QHostAddress& address, quint16 port)
{
    return address.toString() + QLatin1Char('/') + QString::number(port);
}

bool KIVWebSocketServer::Listen(const QHostAddress& address, quint16 port)
{
    if (!m_listener.Listen(address, port))
        return false;
    m_tick.start();
    return true;
}

void KIVWebSocketServer::Close()
{
    m_tick.stop();
    m_listener.close();
    // Handlers are our children; deleting them here clears their liveness
    // flags before anything else can try to answer on their connections.
    const auto handlers = findChildren<WebSocketHandler*>(QString(), Qt::FindDirectChildrenOnly);
    for (WebSocketHandler* handler : handlers)
        delete handler;
    m_handlers = 0;
    // Sockets not yet deleted when the server goes are deleted with the
    // listener, their parent, after our members: they must not call back.
    const auto drop = [this](QTcpSocket* socket) {
        disconnect(socket, nullptr, this, nullptr);
        socket->deleteLater();
    };
    for (auto it = m_reading.constBegin(); it != m_reading.constEnd(); ++it)
        drop(it.key());
    m_reading.clear();
    for (auto it = m_closing.constBegin(); it != m_closing.constEnd(); ++it)
        drop(it.key());
    m_closing.clear();
    for (auto it = m_answering.constBegin(); it != m_answering.constEnd(); ++it)
        drop(it.key());
    m_answering.clear();
    for (const QPointer<QTcpSocket>& socket : qAsConst(m_handedOver)) {
        if (socket)
            drop(socket);
    }
    m_handedOver.clear();
}

void KIVWebSocketServer::OnTcpConnection()
{
    // Taken on the next turn: until then the listener stops accepting once
    // it holds a batch, instead of accepting for as long as connections come.
    if (m_takeScheduled)
        return;
    m_takeScheduled = true;
    QMetaObject::invokeMethod(this, &KIVWebSocketServer::TakeConnections, Qt::QueuedConnection);
}

void KIVWebSocketServer::TakeConnections()
{
    m_takeScheduled = false;
    const qint64 deadline = QDateTime::currentMSecsSinceEpoch() + HandshakeTimeoutMs;
    while (QTcpSocket* socket = m_listener.nextPendingConnection()) {
        if (socket->state() != QAbstractSocket::ConnectedState) {
            socket->deleteLater();
            continue;
        }
        if (m_reading.size() + m_handedOver.size() + m_answering.size() + m_handlers >= m_maxConnections) {
            Refuse(socket, 503, QStringLiteral("%1 connections already open").arg(m_maxConnections));
            continue;
        }
        // Qt writes a frame's header and its payload separately; with Nagle's
        // algorithm a reply that does not fill a packet then waits for the
        // peer's delayed acknowledgement, about 40 ms.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        // A client that never finishes its request must not hold a slot: the
        // tick closes it after the deadline.
        m_reading.insert(socket, deadline);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { OnHandshakeData(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_reading.remove(socket);
            socket->deleteLater();
        });
        // What came with the connection arrived before anyone listened.
        if (socket->bytesAvailable() > 0)
            OnHandshakeData(socket);
    }
    if (DescriptorsExhausted(m_listener.socketDescriptor()))
        PauseAccepting(QStringLiteral("no file descriptor left"));
}

void KIVWebSocketServer::OnHandshakeData(QTcpSocket* socket)
{
    if (!m_reading.contains(socket))
        return;
    // Peeked, not read: Qt's server reads the same bytes again.
    const QByteArray head = socket->peek(MaxHandshakeSize);
    const int end = head.indexOf("\r\n\r\n");
    if (end < 0) {
        if (head.size() >= MaxHandshakeSize)
            Refuse(socket, 400, QStringLiteral("request head larger than %1 bytes").arg(MaxHandshakeSize));
        return;
    }
    if (ServePage(socket, head.left(end + 4)))
        return;
    QString reason;
    if (!m_gate.Admit(head.left(end + 4), reason)) {
        Refuse(socket, 403, reason);
        return;
    }
    m_reading.remove(socket);
    disconnect(socket, nullptr, this, nullptr);
    const QString key = Key(socket->peerAddress(), socket->peerPort());
    m_handedOver.insert(key, socket);
    // Qt's server deletes the socket with the WebSocket made from it, but
    // only closes one whose handshake it refuses.
    connect(socket, &QTcpSocket::disconnected, this, [this, key, socket] {
        const auto found = m_handedOver.find(key);
        if (found != m_handedOver.end() && found.value() == socket) {
            m_handedOver.erase(found);
            socket->deleteLater();
        }
    });
    m_server.handleConnection(socket);
}

void KIVWebSocketServer::DropHandshake(QTcpSocket* socket)
{
    disconnect(socket, nullptr, this, nullptr);
    socket->abort();
    socket->deleteLater();
}

void KIVWebSocketServer::Refuse(QTcpSocket* socket, int status, const QString& reason)
{
    // A flood of refusals would otherwise be a flood of log lines.
    if (m_refusalsLogged < RefusalLinesPerSecond) {
        ++m_refusalsLogged;
        KIV_LOG("WebSocketServer", "KIVWebSocketServer::Refuse", 1)
            << "Refused handshake from " << socket->peerAddress().toString() << ": " << statusLine(status) << ", " << reason;
    } else {
        ++m_refusalsUnlogged;
    }
    m_reading.remove(socket);
    disconnect(socket, nullptr, this, nullptr);
    Answer(socket, status, QByteArrayLiteral("text/plain; charset=utf-8"), reason.toUtf8() + '\n');
}

bool KIVWebSocketServer::ServePage(QTcpSocket* socket, const QByteArray& head)
{
    namespace http = boost::beast::http;
    http::request_parser<http::empty_body> parser;
    parser.header_limit(MaxHandshakeSize);
    boost::system::error_code error;
    parser.put(boost::asio::buffer(head.constData(), std::size_t(head.size())), error);
    if (error || !parser.is_header_done()) {
        Refuse(socket, 400, QStringLiteral("malformed request: %1").arg(QString::fromStdString(error.message())));
        return true;
    }
    const http::request<http::empty_body>& request = parser.get();
    const bool upgrade = request.find(http::field::upgrade) != request.end();
    if (upgrade && !m_pagesOnly)
        return false;
    const boost::beast::string_view target = request.target();
    QByteArray path(target.data(), int(target.size()));
    path.truncate(path.indexOf('?') < 0 ? path.size() : path.indexOf('?'));
    const bool get = request.method() == http::verb::get;
    if (upgrade || !m_pages || !m_pagePaths.contains(path)) {
        // Qt's server would close a plain request without a word.
        if (m_pagesOnly)
            Refuse(socket, 404, QStringLiteral("no such page"));
        else
            Refuse(socket, 426, QStringLiteral("not a WebSocket upgrade request"));
        return true;
    }
    if (!get && request.method() != http::verb::head) {
        Refuse(socket, 405, QStringLiteral("method not allowed"));
        return true;
    }
    m_reading.remove(socket);
    disconnect(socket, nullptr, this, nullptr);
    // Whatever else the peer sends waits in the kernel: one answer, then the
    // connection closes.
    socket->setReadBufferSize(MaxHandshakeSize);
    m_answering.insert(socket, QDateTime::currentMSecsSinceEpoch() + HandshakeTimeoutMs);
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
        m_answering.remove(socket);
        socket->deleteLater();
    });
    const QPointer<KIVWebSocketServer> self(this);
    const QPointer<QTcpSocket> guarded(socket);
    m_pages(path, [self, guarded, get](int status, const QByteArray& contentType, const QByteArray& body) {
        // Gone, timed out or answered already: nothing to do.
        if (!self || !guarded || !self->m_answering.remove(guarded))
            return;
        self->disconnect(guarded, nullptr, self, nullptr);
        self->Answer(guarded, status, contentType, get ? body : QByteArray(), body.size());
    });
    return true;
}

void KIVWebSocketServer::Answer(QTcpSocket* socket, int status, const QByteArray& contentType, const QByteArray& body,
                                qint64 length)
{
    socket->write("HTTP/1.1 " + statusLine(status) + "\r\nContent-Type: " + contentType + "\r\nContent-Length: "
                  + QByteArray::number(length < 0 ? body.size() : length) + "\r\nConnection: close\r\n\r\n" + body);
    // Handed to the kernel now, the answer leaves nothing to wait for, and
    // the socket closes at once.
    socket->flush();
    socket->disconnectFromHost();
    if (socket->state() == QAbstractSocket::UnconnectedState) {
        socket->deleteLater();
        return;
    }
    // The peer does not take even that: it gets the handshake time to.
    m_closing.insert(socket, QDateTime::currentMSecsSinceEpoch() + HandshakeTimeoutMs);
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
        m_closing.remove(socket);
        socket->deleteLater();
    });
}

void KIVWebSocketServer::OnNewConnection()
{
    while (QWebSocket* socket = m_server.nextPendingConnection()) {
        socket->setMaxAllowedIncomingMessageSize(quint64(MaxMessageSize));
        socket->setMaxAllowedIncomingFrameSize(quint64(MaxMessageSize));
        const QPointer<QTcpSocket> transport = m_handedOver.take(Key(socket->peerAddress(), socket->peerPort()));
        if (transport)
            disconnect(transport, nullptr, this, nullptr);
        if (!m_factory) {
            socket->close(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("no handler"));
            socket->deleteLater();
            continue;
        }
        WebSocketHandler* handler = m_factory(socket, this);
        handler->AttachTransport(transport);
        ++m_handlers;
        connect(handler, &WebSocketHandler::Grew, this, &KIVWebSocketServer::OnGrew);
        connect(socket, &QWebSocket::disconnected, handler, [this, handler] {
            KIV_LOG("WebSocketServer", "KIVWebSocketServer::disconnected", 2)
                << "Client disconnected: " << handler->Socket()->peerAddress().toString() << ":"
                << int(handler->Socket()->peerPort());
            --m_handlers;
            // The socket may still be on the call stack that reported the loss.
            handler->deleteLater();
        });
        handler->OnConnect();
    }
}

qint64 KIVWebSocketServer::HeldBytes() const
{
    qint64 held = 0;
    const auto handlers = findChildren<WebSocketHandler*>(QString(), Qt::FindDirectChildrenOnly);
    for (const WebSocketHandler* handler : handlers) {
        if (*handler->m_alive)
            held += handler->HeldBytes();
    }
    return held;
}

void KIVWebSocketServer::OnGrew(qint64 bytes)
{
    m_heldEstimate += bytes;
    if (m_heldEstimate > m_maxHeldBytes)
        EnforceBudget();
}

void KIVWebSocketServer::EnforceBudget()
{
    const auto handlers = findChildren<WebSocketHandler*>(QString(), Qt::FindDirectChildrenOnly);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (;;) {
        qint64 total = 0;
        qint64 most = 0;
        WebSocketHandler* largest = nullptr;
        for (WebSocketHandler* handler : handlers) {
            if (!*handler->m_alive)
                continue;
            const qint64 held = handler->HeldBytes();
            total += held;
            // A reader taking its replies frees what it holds by itself.
            if (held > most && !handler->Draining(now)) {
                most = held;
                largest = handler;
            }
        }
        m_heldEstimate = total;
        if (total <= m_maxHeldBytes)
            return;
        // No connection adds replies while they hold too much.
        for (WebSocketHandler* handler : handlers) {
            if (*handler->m_alive && handler->UnsentBytes() > 0)
                handler->PauseReading();
        }
        if (!largest)
            return;
        largest->Drop(QStringLiteral("Connections hold %1 bytes, more than the limit of %2; this one holds the most (%3)")
                          .arg(total).arg(m_maxHeldBytes).arg(most));
    }
}

void KIVWebSocketServer::OnTick()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (auto it = m_reading.begin(); it != m_reading.end();) {
        if (it.value() > now) {
            ++it;
            continue;
        }
        QTcpSocket* socket = it.key();
        it = m_reading.erase(it);
        KIV_LOG("WebSocketServer", "KIVWebSocketServer::OnTick", 1)
            << "Handshake from " << socket->peerAddress().toString() << " timed out";
        DropHandshake(socket);
    }
    for (auto it = m_answering.begin(); it != m_answering.end();) {
        if (it.value() > now) {
            ++it;
            continue;
        }
        QTcpSocket* socket = it.key();
        it = m_answering.erase(it);
        DropHandshake(socket);
    }
    for (auto it = m_closing.begin(); it != m_closing.end();) {
        if (it.value() > now) {
            ++it;
            continue;
        }
        QTcpSocket* socket = it.key();
        it = m_closing.erase(it);
        DropHandshake(socket);
    }
    if (m_refusalsUnlogged > 0)
        KIV_LOG("WebSocketServer", "KIVWebSocketServer::Refuse", 1)
            << m_refusalsUnlogged << " more handshakes refused since the last line";
    m_refusalsLogged = 0;
    m_refusalsUnlogged = 0;
    // A socket whose handshake Qt's server refused and deleted leaves no
    // slot taken.
    for (auto it = m_handedOver.begin(); it != m_handedOver.end();) {
        if (it.value())
            ++it;
        else
            it = m_handedOver.erase(it);
    }
    const auto handlers = findChildren<WebSocketHandler*>(QString(), Qt::FindDirectChildrenOnly);
    for (WebSocketHandler* handler : handlers)
        handler->CheckReader(now);
    EnforceBudget();
}

bool KIVWebSocketServer::DescriptorsExhausted(qintptr probe)
{
    // Asking for one more descriptor is the cheapest exact test.
    const int fd = ::fcntl(int(probe), F_DUPFD_CLOEXEC, 0);
    if (fd >= 0) {
        ::close(fd);
        return false;
    }
    return errno == EMFILE || errno == ENFILE;
}

void KIVWebSocketServer::PauseAccepting(const QString& why)
{
    if (m_acceptPaused)
        return;
    // A listening socket with a connection waiting stays readable while
    // accept() fails, which would spin the event loop.
    m_acceptPaused = true;
    m_listener.pauseAccepting();
    // Only the start of a shortage is worth a warning, not every retry.
    KIV_LOG("WebSocketServer", "KIVWebSocketServer::PauseAccepting", why.startsWith(QLatin1String("still")) ? 3 : 1)
        << "Not accepting connections for " << AcceptPauseMs << " ms: " << why;
    QTimer::singleShot(AcceptPauseMs, this, [this] {
        m_acceptPaused = false;
        if (!m_listener.isListening())
            return;
        if (DescriptorsExhausted(m_listener.socketDescriptor())) {
            PauseAccepting(QStringLiteral("still no file descriptor left"));
            return;
        }
        m_listener.resumeAccepting();
        KIV_LOG("WebSocketServer", "KIVWebSocketServer::PauseAccepting", 2) << "Accepting connections again";
    });
}
