#include "platform/PausableSocket.h"

PausableSocket::PausableSocket(QObject* parent)
    : QTcpSocket(parent)
{
}

qint64 PausableSocket::bytesAvailable() const
{
    return m_paused ? 0 : QTcpSocket::bytesAvailable();
}

void PausableSocket::Pause()
{
    if (m_paused)
        return;
    m_paused = true;
    setReadBufferSize(PausedBufferSize);
}

void PausableSocket::Resume()
{
    if (!m_paused)
        return;
    m_paused = false;
    // Unlimited again; Qt turns reading from the kernel back on.
    setReadBufferSize(0);
    // The WebSocket reads on readyRead only, and what waits in the buffer
    // came before the pause; a queued read takes it up on the next turn.
    if (QTcpSocket::bytesAvailable() > 0)
        Q_EMIT readyRead();
}
