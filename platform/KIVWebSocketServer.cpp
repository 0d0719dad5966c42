#include "platform/KIVWebSocketServer.h"

#include "platform/Debugger.h"
#include "platform/WebSocketHandler.h"

#include <QWebSocket>

KIVWebSocketServer::KIVWebSocketServer(const QString& name, QObject* parent)
    : QObject(parent)
    , m_server(name, QWebSocketServer::NonSecureMode)
{
    m_server.setMaxPendingConnections(256);
    connect(&m_server, &QWebSocketServer::newConnection, this, &KIVWebSocketServer::OnNewConnection);
    connect(&m_server, &QWebSocketServer::acceptError, this, [this](QAbstractSocket::SocketError) {
        KIV_LOG("WebSocketServer", "KIVWebSocketServer::acceptError", 1) << m_server.errorString();
    });
}

KIVWebSocketServer::~KIVWebSocketServer()
{
    Close();
}

bool KIVWebSocketServer::Listen(const QHostAddress& address, quint16 port)
{
    return m_server.listen(address, port);
}

void KIVWebSocketServer::Close()
{
    m_server.close();
    // Handlers are our children; deleting them here clears their liveness
    // flags before anything else can try to answer on their connections.
    const auto handlers = findChildren<WebSocketHandler*>(QString(), Qt::FindDirectChildrenOnly);
    for (WebSocketHandler* handler : handlers)
        delete handler;
    m_handlers = 0;
}

void KIVWebSocketServer::OnNewConnection()
{
    while (QWebSocket* socket = m_server.nextPendingConnection()) {
        socket->setMaxAllowedIncomingMessageSize(quint64(MaxMessageSize));
        socket->setMaxAllowedIncomingFrameSize(quint64(MaxMessageSize));
        if (!m_factory) {
            socket->close(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("no handler"));
            socket->deleteLater();
            continue;
        }
        WebSocketHandler* handler = m_factory(socket, this);
        ++m_handlers;
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
