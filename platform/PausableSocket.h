#pragma once

#include "platform/WebSocketServerGlobal.h"

#include <QTcpSocket>

// A TCP connection whose incoming data can be held back. While paused it
// reports nothing to read: QWebSocket takes messages out of the buffer only
// while data is reported, so the peer's next requests stay where they are,
// and the buffer takes no more from the kernel past a small bound, so TCP
// flow control stops the peer. Resume hands the data over again.
class KIVWEBSOCKETSERVER_EXPORT PausableSocket : public QTcpSocket
{
    Q_OBJECT

public:
    // What the buffer may take from the kernel while paused.
    static constexpr qint64 PausedBufferSize = 64 * 1024;

    explicit PausableSocket(QObject* parent = nullptr);

    qint64 bytesAvailable() const override;
    // What the buffer holds, paused or not.
    qint64 BufferedIncoming() const { return QTcpSocket::bytesAvailable(); }
    void Pause();
    void Resume();
    bool IsPaused() const { return m_paused; }

private:
    bool m_paused = false;
};
