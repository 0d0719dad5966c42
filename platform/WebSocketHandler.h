#pragma once

#include "platform/WebSocketServerGlobal.h"

#include <QObject>

#include <memory>

class QJsonObject;
class QWebSocket;

// Serves one client connection of KIVWebSocketServer. The handler takes the
// socket as its child; the server deletes the handler when the peer goes away.
class KIVWEBSOCKETSERVER_EXPORT WebSocketHandler : public QObject
{
    Q_OBJECT
    friend class KIVWebSocketServer;

public:
    // A peer that stops reading cannot make us buffer without end: past this
    // many unsent bytes the connection is dropped.
    static constexpr qint64 MaxPendingOutput = 64 * 1024 * 1024;

    WebSocketHandler(QWebSocket* socket, QObject* parent);
    ~WebSocketHandler() override;

    // Sends one object as one compact JSON text message; dropped once the
    // connection is gone.
    void WriteWebJSON(const QJsonObject& object);
    QWebSocket* Socket() const { return m_socket; }

protected:
    virtual void OnTextMessage(const QString& message);
    virtual void OnBlobMessage(const QByteArray& message);
    virtual void OnConnect();
    virtual void DoJson(const QJsonObject& request);

    // Parses a text message as a JSON object. Anything else is answered at
    // once with "ERROR" "FAILURE" and the parser's text, and gives false.
    bool ParseRequest(const QString& message, QJsonObject& request);

    // True while the connection can be written to. Callbacks that may outlive
    // the handler keep a copy and test it before touching the handler; it is
    // cleared when the peer disconnects and, at the latest, on destruction.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);

private:
    QWebSocket* m_socket;
};
