#include "platform/TextFrameWriter.h"

#include <QTcpSocket>

void TextFrameWriter::Attach(QTcpSocket* socket, qint64 frameSize)
{
    m_socket = socket;
    m_frameSize = frameSize > 0 ? frameSize : DefaultFrameSize;
}

QByteArray TextFrameWriter::FrameHeader(bool first, bool last, qint64 payloadSize)
{
    QByteArray header;
    header.reserve(10);
    header += char((last ? 0x80 : 0x00) | (first ? 0x1 : 0x0));
    if (payloadSize < 126) {
        header += char(payloadSize);
    } else if (payloadSize < 65536) {
        header += char(126);
        header += char(payloadSize >> 8);
        header += char(payloadSize & 0xff);
    } else {
        header += char(127);
        for (int shift = 56; shift >= 0; shift -= 8)
            header += char((quint64(payloadSize) >> shift) & 0xff);
    }
    return header;
}

void TextFrameWriter::Write(const QByteArray& utf8)
{
    if (!IsAttached())
        return;
    m_messages.enqueue(utf8);
    m_queued += utf8.size();
    Pump();
}

void TextFrameWriter::Pump()
{
    if (!IsAttached() || m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    while (!m_messages.isEmpty() && m_socket->bytesToWrite() < SocketLowWater) {
        const QByteArray& message = m_messages.head();
        const qint64 size = message.size();
        const qint64 chunk = qMin(m_frameSize, size - m_offset);
        // Header and payload in one go: nothing else can write in between.
        m_socket->write(FrameHeader(m_offset == 0, m_offset + chunk == size, chunk));
        m_socket->write(message.constData() + m_offset, chunk);
        m_offset += chunk;
        m_queued -= chunk;
        if (m_offset == size) {
            m_messages.dequeue();
            m_offset = 0;
        }
    }
}

void TextFrameWriter::Stop()
{
    m_stopped = true;
    m_messages.clear();
    m_offset = 0;
    m_queued = 0;
}
