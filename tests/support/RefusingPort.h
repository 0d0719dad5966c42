#pragma once

#include <QString>
#include <QTcpSocket>

// A local port that refuses every connection for as long as this lives: it is
// bound but never listens, so no other program can take it meanwhile.
class RefusingPort
{
public:
    RefusingPort();

    quint16 Port() const { return m_socket.localPort(); }
    // "ws://127.0.0.1:PORT", for the host's --controller.
    QString Url() const;

private:
    QTcpSocket m_socket;
};
