#pragma once

#include <QByteArray>
#include <QTcpSocket>
#include <QUrl>

// A WebSocket client at the byte level, for attacks: it sends what it is
// told, frames included, and reads nothing after the handshake, so that the
// host's replies back up.
class RawPeer
{
public:
    // Connects and asks for an upgrade of `target` with `extraHeaders` (each
    // ending in "\r\n"); false unless the host answered 101.
    bool Open(const QUrl& url, const QByteArray& target = "/", const QByteArray& extraHeaders = {});
    // The status line of the answer, such as "HTTP/1.1 403 Forbidden".
    QByteArray StatusLine() const { return m_status; }
    // One masked text frame: the header for `declared` payload bytes (by
    // default the payload's size), then `payload`.
    void SendFrame(const QByteArray& payload, qint64 declared = -1);
    // Raw bytes, for trickling a frame.
    void SendRaw(const QByteArray& bytes);
    // How the host's log names this connection when it drops it.
    QString DropText() const;
    QTcpSocket& Socket() { return m_socket; }

private:
    QTcpSocket m_socket;
    QByteArray m_status;
    quint16 m_port = 0;
};
