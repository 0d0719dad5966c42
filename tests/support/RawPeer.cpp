#include "tests/support/RawPeer.h"

bool RawPeer::Open(const QUrl& url, const QByteArray& target, const QByteArray& extraHeaders)
{
    m_socket.connectToHost(url.host(), quint16(url.port()));
    if (!m_socket.waitForConnected(5000))
        return false;
    m_socket.write("GET " + target + " HTTP/1.1\r\nHost: " + url.authority().toLatin1()
                   + "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                     "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                   + extraHeaders + "\r\n");
    // Nothing follows the answer until a request is sent.
    QByteArray head;
    while (!head.contains("\r\n\r\n") && m_socket.waitForReadyRead(5000))
        head += m_socket.readAll();
    // From here on Qt takes almost nothing from the kernel.
    m_socket.setReadBufferSize(16);
    m_port = m_socket.localPort();
    m_status = head.left(head.indexOf("\r\n"));
    return m_status.startsWith("HTTP/1.1 101 ");
}

void RawPeer::SendFrame(const QByteArray& payload, qint64 declared)
{
    if (declared < 0)
        declared = payload.size();
    QByteArray frame("\x81", 1);
    if (declared < 126) {
        frame += char(0x80 | declared);
    } else if (declared < 65536) {
        frame += char(0x80 | 126);
        frame += char(declared >> 8);
        frame += char(declared & 0xff);
    } else {
        frame += char(0x80 | 127);
        for (int shift = 56; shift >= 0; shift -= 8)
            frame += char((declared >> shift) & 0xff);
    }
    frame += QByteArray(4, '\0'); // a zero mask leaves the payload as it is
    SendRaw(frame + payload);
}

void RawPeer::SendRaw(const QByteArray& bytes)
{
    m_socket.write(bytes);
    m_socket.flush();
}

QString RawPeer::DropText() const
{
    return QStringLiteral(", closing 127.0.0.1:%1").arg(m_port);
}
