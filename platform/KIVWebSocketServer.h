#pragma once

#include "platform/HandshakeGate.h"
#include "platform/WebSocketServerGlobal.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QTcpServer>
#include <QTimer>
#include <QWebSocketServer>

#include <functional>

class QTcpSocket;
class WebSocketHandler;

// Accepts WebSocket connections and gives each one a handler made by the
// factory. A handler lives until its connection closes or the server goes.
//
// The server reads each upgrade request itself before Qt's WebSocket server
// sees it, so that it can refuse with a proper HTTP status: 403 when the
// HandshakeGate says no, 503 past the connection limit. It also bounds what
// all connections together hold in memory, drops peers that stop reading,
// and stops accepting for a moment when the process runs out of descriptors.
class KIVWEBSOCKETSERVER_EXPORT KIVWebSocketServer : public QObject
{
    Q_OBJECT

public:
    // Largest message a client may send; longer ones close the connection
    // with the "too big" close code instead of eating memory.
    static constexpr qint64 MaxMessageSize = 32 * 1024 * 1024;
    static constexpr int DefaultMaxConnections = 256;
    static constexpr qint64 DefaultMaxHeldBytes = 256 * 1024 * 1024;
    // An upgrade request larger than this, or slower than the time-out, is refused.
    static constexpr int MaxHandshakeSize = 16 * 1024;
    static constexpr int HandshakeTimeoutMs = 10000;
    // How long accepting pauses when descriptors run out.
    static constexpr int AcceptPauseMs = 500;

    using HandlerFactory = std::function<WebSocketHandler*(QWebSocket* socket, QObject* parent)>;

    explicit KIVWebSocketServer(const QString& name, QObject* parent = nullptr);
    ~KIVWebSocketServer() override;

    void SetHandlerFactory(HandlerFactory factory) { m_factory = std::move(factory); }
    HandshakeGate& Gate() { return m_gate; }
    // Connections (open or still in their handshake) beyond this are refused with 503.
    void SetMaxConnections(int count) { m_maxConnections = count; }
    // Unsent replies plus unfinished incoming messages of all connections;
    // past it the connection holding the most is dropped.
    void SetMaxHeldBytes(qint64 bytes) { m_maxHeldBytes = bytes; }

    bool Listen(const QHostAddress& address, quint16 port);
    void Close();
    quint16 Port() const { return m_listener.serverPort(); }
    QString LastErrorText() const { return m_listener.errorString(); }
    int ConnectionCount() const { return m_handlers; }
    // What all connections hold now, as the memory bound counts it.
    qint64 HeldBytes() const;

private:
    void OnTcpConnection();
    void OnHandshakeData(QTcpSocket* socket);
    void Refuse(QTcpSocket* socket, int status, const QString& reason);
    void OnNewConnection();
    void OnGrew(qint64 bytes);
    void EnforceBudget();
    void OnTick();
    void PauseAccepting(const QString& why);
    static bool DescriptorsExhausted(qintptr probe);
    static QString Key(const QHostAddress& address, quint16 port);

    QTcpServer m_listener;
    QWebSocketServer m_server;
    HandshakeGate m_gate;
    HandlerFactory m_factory;
    QTimer m_tick;
    // Sockets whose upgrade request is still being read, and sockets handed
    // to Qt's server whose handshake has not completed, by peer address.
    QSet<QTcpSocket*> m_reading;
    QHash<QString, QPointer<QTcpSocket>> m_handedOver;
    int m_handlers = 0;
    int m_maxConnections = DefaultMaxConnections;
    qint64 m_maxHeldBytes = DefaultMaxHeldBytes;
    // Sum at the last full count plus growth reported since.
    qint64 m_heldEstimate = 0;
    bool m_acceptPaused = false;
};
