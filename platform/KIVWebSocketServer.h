#pragma once

#include "platform/HandshakeGate.h"
#include "platform/TcpListener.h"
#include "platform/WebSocketServerGlobal.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QPointer>
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
// all connections together hold in memory, pauses peers that pipeline faster
// than they read, drops peers that stop reading, and stops accepting for a
// moment when the process runs out of descriptors.
//
// Under a flood of connections nothing is kept for one that has gone: no
// timer per connection (handshake deadlines are checked once a second), a
// refused connection is closed as soon as its answer is with the kernel, and
// one turn of the event loop accepts at most AcceptBatch connections.
//
// A request that is not an upgrade is answered before any handshake: a GET
// of a page (see SetPages) with the page, anything else with 426 (a head
// Beast cannot read with 400). It is bounded as a handshake is: its head by
// MaxHandshakeSize, its time by the handshake time-out, and it counts against
// the connection limit. One answer, then the connection closes.
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
    // Connections accepted in one turn of the event loop, at most.
    static constexpr int AcceptBatch = 32;
    // Refusals logged one by one in a second; the rest are counted.
    static constexpr int RefusalLinesPerSecond = 20;

    using HandlerFactory = std::function<WebSocketHandler*(QWebSocket* socket, QObject* parent)>;
    // Plain HTTP pages (GET or HEAD without an upgrade), such as /metrics:
    // the page server gets the request's path and answers through `answer`,
    // now or later on the event loop. A page does not pass the HandshakeGate,
    // so it must show nothing that needs the token.
    using PageAnswer = std::function<void(int status, const QByteArray& contentType, const QByteArray& body)>;
    using PageServer = std::function<void(const QByteArray& path, const PageAnswer& answer)>;

    explicit KIVWebSocketServer(const QString& name, QObject* parent = nullptr);
    ~KIVWebSocketServer() override;

    void SetHandlerFactory(HandlerFactory factory) { m_factory = std::move(factory); }
    // `paths` are the pages' paths, without a query ("/metrics").
    void SetPages(const QList<QByteArray>& paths, PageServer pages)
    {
        m_pagePaths = paths;
        m_pages = std::move(pages);
    }
    // Serves the pages only: every other request, WebSocket upgrades
    // included, gets 404 (or 405 for another method on a page).
    void SetPagesOnly(bool only) { m_pagesOnly = only; }
    HandshakeGate& Gate() { return m_gate; }
    // Connections (open or still in their handshake) beyond this are refused with 503.
    void SetMaxConnections(int count) { m_maxConnections = count; }
    // Unsent replies plus unfinished incoming messages of all connections.
    // Past it, connections with replies waiting take no more requests until
    // those have drained, and the connection holding the most that is not a
    // reader taking its replies (none went out for the grace time, or it
    // holds mostly incoming data) is dropped.
    void SetMaxHeldBytes(qint64 bytes) { m_maxHeldBytes = bytes; }

    bool Listen(const QHostAddress& address, quint16 port);
    void Close();
    quint16 Port() const { return m_listener.serverPort(); }
    QString LastErrorText() const { return m_listener.errorString(); }
    int ConnectionCount() const { return m_handlers; }
    // Connections accepted whose handshake has not ended yet, refused ones
    // still handing their answer to the kernel included.
    int HandshakeCount() const
    {
        return m_reading.size() + m_handedOver.size() + m_closing.size() + m_answering.size();
    }
    // What all connections hold now, as the memory bound counts it.
    qint64 HeldBytes() const;

private:
    void OnTcpConnection();
    void TakeConnections();
    void OnHandshakeData(QTcpSocket* socket);
    void DropHandshake(QTcpSocket* socket);
    void Refuse(QTcpSocket* socket, int status, const QString& reason);
    // Answers a request that is not a WebSocket upgrade (a page, or 400, 404,
    // 405 or 426); false to let the handshake go on.
    bool ServePage(QTcpSocket* socket, const QByteArray& head);
    // Writes a whole HTTP answer and closes the connection once the kernel
    // has it (or the handshake time has passed).
    // `length` is the Content-Length when it is not the body's (HEAD).
    void Answer(QTcpSocket* socket, int status, const QByteArray& contentType, const QByteArray& body, qint64 length = -1);
    void OnNewConnection();
    void OnGrew(qint64 bytes);
    void EnforceBudget();
    void OnTick();
    void PauseAccepting(const QString& why);
    static bool DescriptorsExhausted(qintptr probe);
    static QString Key(const QHostAddress& address, quint16 port);

    TcpListener m_listener;
    QWebSocketServer m_server;
    HandshakeGate m_gate;
    HandlerFactory m_factory;
    QTimer m_tick;
    // Sockets whose upgrade request is still being read, with their
    // deadlines (ms since the epoch); sockets handed to Qt's server whose
    // handshake has not completed, by peer address; refused sockets whose
    // answer the kernel has not taken yet, with their deadlines.
    QHash<QTcpSocket*, qint64> m_reading;
    QHash<QString, QPointer<QTcpSocket>> m_handedOver;
    QHash<QTcpSocket*, qint64> m_closing;
    // Sockets whose page is being made, with their deadlines.
    QHash<QTcpSocket*, qint64> m_answering;
    QList<QByteArray> m_pagePaths;
    PageServer m_pages;
    bool m_pagesOnly = false;
    int m_handlers = 0;
    int m_maxConnections = DefaultMaxConnections;
    qint64 m_maxHeldBytes = DefaultMaxHeldBytes;
    // Sum at the last full count plus growth reported since.
    qint64 m_heldEstimate = 0;
    bool m_acceptPaused = false;
    bool m_takeScheduled = false;
    int m_refusalsLogged = 0;
    int m_refusalsUnlogged = 0;
};
