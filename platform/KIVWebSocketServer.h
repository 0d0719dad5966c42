#pragma once

#include "platform/WebSocketServerGlobal.h"

#include <QHostAddress>
#include <QObject>
#include <QWebSocketServer>

#include <functional>

class WebSocketHandler;

// Accepts WebSocket connections and gives each one a handler made by the
// factory. A handler lives until its connection closes or the server goes.
class KIVWEBSOCKETSERVER_EXPORT KIVWebSocketServer : public QObject
{
    Q_OBJECT

public:
    // Largest message a client may send; longer ones close the connection
    // with the "too big" close code instead of eating memory.
    static constexpr qint64 MaxMessageSize = 32 * 1024 * 1024;

    using HandlerFactory = std::function<WebSocketHandler*(QWebSocket* socket, QObject* parent)>;

    explicit KIVWebSocketServer(const QString& name, QObject* parent = nullptr);
    ~KIVWebSocketServer() override;

    void SetHandlerFactory(HandlerFactory factory) { m_factory = std::move(factory); }
    bool Listen(const QHostAddress& address, quint16 port);
    void Close();
    quint16 Port() const { return m_server.serverPort(); }
    QString LastErrorText() const { return m_server.errorString(); }
    int ConnectionCount() const { return m_handlers; }

private:
    void OnNewConnection();

    QWebSocketServer m_server;
    HandlerFactory m_factory;
    int m_handlers = 0;
};
