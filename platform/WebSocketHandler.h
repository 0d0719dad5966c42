#pragma once

#include "platform/TextFrameWriter.h"
#include "platform/WebSocketServerGlobal.h"

#include <QObject>
#include <QPointer>

#include <memory>

class QJsonObject;
class PausableSocket;
class QTcpSocket;
class QWebSocket;

// Serves one client connection of KIVWebSocketServer. The handler takes the
// socket as its child; the server deletes the handler when the peer goes away.
//
// Replies go out through a TextFrameWriter on the TCP socket under the
// WebSocket. A client that pipelines requests faster than it takes their
// replies is paused: once its unsent replies pass PauseOutputMark, its next
// requests stay unread until they have drained to ResumeOutputMark.
class KIVWEBSOCKETSERVER_EXPORT WebSocketHandler : public QObject
{
    Q_OBJECT
    friend class KIVWebSocketServer;

public:
    // A peer that keeps more than this unsent, or that is paused, and takes
    // nothing of it for the grace time does not read its replies and is
    // dropped. A backlog that a reading peer drains (many pipelined answers)
    // is fine, however long it takes.
    static constexpr qint64 MaxPendingOutput = 64 * 1024 * 1024;
    static constexpr int SlowReaderGraceMs = 5000;
    static constexpr qint64 PauseOutputMark = 8 * 1024 * 1024;
    static constexpr qint64 ResumeOutputMark = 1024 * 1024;

    WebSocketHandler(QWebSocket* socket, QObject* parent);
    ~WebSocketHandler() override;

    // Sends one object as one compact JSON text message; dropped once the
    // connection is gone.
    void WriteWebJSON(const QJsonObject& object);
    // Sends UTF-8 text that is already JSON as one text message. The bytes
    // are shared until they have gone out, not copied.
    void WriteWebText(const QByteArray& utf8);
    QWebSocket* Socket() const { return m_socket; }
    // Unsent output plus incoming bytes of a message not yet complete.
    qint64 HeldBytes() const;
    // Replies written but not yet taken by the kernel.
    qint64 UnsentBytes() const;
    // Whether the next requests wait for the replies to drain.
    bool IsPaused() const;
    // Closes the connection at once; `why` goes to the log.
    void Drop(const QString& why);

Q_SIGNALS:
    // What the connection holds grew by about this many bytes.
    void Grew(qint64 bytes);

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
    void AttachTransport(QTcpSocket* transport);
    void OnDrained();
    // Stops taking requests until the unsent replies have drained.
    void PauseReading();
    // Called about once a second by the server.
    void CheckReader(qint64 now);
    // Whether the budget should spare this connection: what it holds is
    // mostly replies that the peer is taking (some went out within the grace).
    bool Draining(qint64 now) const;

    QWebSocket* m_socket;
    // The TCP connection under the WebSocket: a frame being received waits
    // in its buffer until it is complete.
    QPointer<PausableSocket> m_transport;
    TextFrameWriter m_writer;
    // Frames received of a message that is not complete yet.
    qint64 m_partialIncoming = 0;
    qint64 m_lastBuffered = 0;
    // When output last went out (or started to wait), in ms since the epoch.
    qint64 m_lastProgress = 0;
    qint64 m_backlogSince = 0;
    // Replies go through m_writer; without a transport, through QWebSocket.
    bool m_framesHere = false;
};
