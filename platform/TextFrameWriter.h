#pragma once

#include "platform/WebSocketServerGlobal.h"

#include <QByteArray>
#include <QPointer>
#include <QQueue>

class QTcpSocket;

// Writes text messages as WebSocket frames straight onto a connection's TCP
// socket, from the UTF-8 the service already holds: QWebSocket takes only a
// QString, which costs a UTF-16 copy and then a new UTF-8 one of every reply.
// Messages wait here, shared rather than copied, and go out a frame at a time
// as the socket drains. Each frame is written whole, so QWebSocket's own
// control frames (pong, close) can only fall between frames, which RFC 6455
// allows within a fragmented message.
class KIVWEBSOCKETSERVER_EXPORT TextFrameWriter
{
public:
    // Frames carry at most this much of a message (QWebSocket's default).
    static constexpr qint64 DefaultFrameSize = 512 * 1024;
    // More frames are handed to the socket only while it holds less than this.
    static constexpr qint64 SocketLowWater = 1024 * 1024;

    void Attach(QTcpSocket* socket, qint64 frameSize = DefaultFrameSize);
    bool IsAttached() const { return !m_socket.isNull() && !m_stopped; }
    // Queues one message and writes what the socket takes now.
    void Write(const QByteArray& utf8);
    // Hands more frames to the socket while it holds less than the low-water mark.
    void Pump();
    // Bytes of messages not yet handed to the socket.
    qint64 Queued() const { return m_queued; }
    // Drops what waits and writes nothing more: the connection is closing,
    // and no data frame may follow a close frame.
    void Stop();

    // The header of one frame from a server: never masked; text opcode on a
    // message's first frame, continuation after; FIN on its last.
    static QByteArray FrameHeader(bool first, bool last, qint64 payloadSize);

private:
    QPointer<QTcpSocket> m_socket;
    QQueue<QByteArray> m_messages;
    // How much of the first message has gone out.
    qint64 m_offset = 0;
    qint64 m_queued = 0;
    qint64 m_frameSize = DefaultFrameSize;
    bool m_stopped = false;
};
