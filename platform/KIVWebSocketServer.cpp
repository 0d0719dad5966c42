#include "platform/KIVWebSocketServer.h"

#include "platform/Debugger.h"
#include "platform/WebSocketHandler.h"

#include <QDateTime>
#include <QTcpSocket>
#include <QWebSocket>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

QByteArray statusLine(int status)
{
    switch (status) {
    case 400: return QByteArrayLiteral("400 Bad Request");
    case 403: return QByteArrayLiteral("403 Forbidden");
    default: return QByteArrayLiteral("503 Service Unavailable");
    }
}

} // namespace

KIVWebSocketServer::KIVWebSocketServer(const QString& name, QObject* parent)
    : QObject(parent)
    , m_server(name, QWebSocketServer::NonSecureMode)
{
    m_listener.setMaxPendingConnections(DefaultMaxConnections);
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
    if (!m_listener.listen(address, port))
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
    for (QTcpSocket* socket : qAsConst(m_reading))
        socket->deleteLater();
    m_reading.clear();
    for (const QPointer<QTcpSocket>& socket : qAsConst(m_handedOver)) {
        if (socket)
            socket->deleteLater();
    }
    m_handedOver.clear();
}

void KIVWebSocketServer::OnTcpConnection()
{
    while (QTcpSocket* socket = m_listener.nextPendingConnection()) {
        if (m_reading.size() + m_handedOver.size() + m_handlers >= m_maxConnections) {
            Refuse(socket, 503, QStringLiteral("%1 connections already open").arg(m_maxConnections));
            continue;
        }
        // Qt writes a frame's header and its payload separately; with Nagle's
        // algorithm a reply that does not fill a packet then waits for the
        // peer's delayed acknowledgement, about 40 ms.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_reading.insert(socket);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { OnHandshakeData(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_reading.remove(socket);
            socket->deleteLater();
        });
        // A client that never finishes its request must not hold a slot.
        QTimer::singleShot(HandshakeTimeoutMs, socket, [this, socket] {
            if (m_reading.contains(socket)) {
                KIV_LOG("WebSocketServer", "KIVWebSocketServer::OnTcpConnection", 1)
                    << "Handshake from " << socket->peerAddress().toString() << " timed out";
                m_reading.remove(socket);
                socket->abort();
                socket->deleteLater();
            }
        });
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

void KIVWebSocketServer::Refuse(QTcpSocket* socket, int status, const QString& reason)
{
    KIV_LOG("WebSocketServer", "KIVWebSocketServer::Refuse", 1)
        << "Refused handshake from " << socket->peerAddress().toString() << ": " << statusLine(status) << ", " << reason;
    m_reading.remove(socket);
    disconnect(socket, nullptr, this, nullptr);
    const QByteArray body = reason.toUtf8() + '\n';
    socket->write("HTTP/1.1 " + statusLine(status) + "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: "
                  + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    socket->disconnectFromHost();
    if (socket->state() == QAbstractSocket::UnconnectedState)
        socket->deleteLater();
    else
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    // The peer may never close its side.
    QTimer::singleShot(HandshakeTimeoutMs, socket, [socket] { socket->abort(); socket->deleteLater(); });
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
    for (;;) {
        qint64 total = 0;
        qint64 most = -1;
        WebSocketHandler* largest = nullptr;
        for (WebSocketHandler* handler : handlers) {
            if (!*handler->m_alive)
                continue;
            const qint64 held = handler->HeldBytes();
            total += held;
            if (held > most) {
                most = held;
                largest = handler;
            }
        }
        m_heldEstimate = total;
        if (total <= m_maxHeldBytes || !largest)
            return;
        largest->Drop(QStringLiteral("Connections hold %1 bytes, more than the limit of %2; this one holds the most (%3)")
                          .arg(total).arg(m_maxHeldBytes).arg(most));
    }
}

void KIVWebSocketServer::OnTick()
{
    // A socket whose handshake Qt's server refused and deleted leaves no
    // slot taken.
    for (auto it = m_handedOver.begin(); it != m_handedOver.end();) {
        if (it.value())
            ++it;
        else
            it = m_handedOver.erase(it);
    }
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
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
