#include "tests/support/FakeRemoteServer.h"

#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

FakeRemoteServer::FakeRemoteServer(QObject* parent)
    : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &FakeRemoteServer::OnConnection);
}

bool FakeRemoteServer::Listen(quint16 port)
{
    return m_server.listen(QHostAddress::LocalHost, port);
}

void FakeRemoteServer::OnConnection()
{
    while (QTcpSocket* socket = m_server.nextPendingConnection()) {
        socket->setParent(this);
        ++m_connections;
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { OnData(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_buffers.remove(socket);
            socket->deleteLater();
        });
    }
}

void FakeRemoteServer::OnData(QTcpSocket* socket)
{
    QByteArray& buffer = m_buffers[socket];
    buffer += socket->readAll();
    for (;;) {
        const int headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return;
        const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
        Request request;
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        request.method = first.value(0);
        request.path = first.value(1);
        for (int i = 1; i < lines.size(); ++i) {
            const int colon = lines.at(i).indexOf(':');
            if (colon > 0)
                request.headers.insert(lines.at(i).left(colon).trimmed().toLower(), lines.at(i).mid(colon + 1).trimmed());
        }
        const int length = request.headers.value("content-length").toInt();
        if (buffer.size() < headerEnd + 4 + length)
            return;
        request.body = buffer.mid(headerEnd + 4, length);
        buffer.remove(0, headerEnd + 4 + length);
        m_received.append(request);
        Answer(socket);
    }
}

void FakeRemoteServer::Answer(QTcpSocket* socket)
{
    const Reply reply = m_queue.isEmpty() ? Reply() : m_queue.takeFirst();
    if (reply.silent) {
        // Not at once: the caller still reads this socket's buffer.
        if (reply.close)
            QTimer::singleShot(0, socket, [socket] { socket->disconnectFromHost(); });
        return;
    }
    QByteArray answer = reply.raw;
    if (answer.isEmpty()) {
        answer = "HTTP/1.1 " + QByteArray::number(reply.status) + " Scripted\r\n"
                 "Content-Type: application/json\r\n";
        if (reply.noLength)
            answer += "Connection: close\r\n";
        else
            answer += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
        for (const QByteArray& header : reply.extraHeaders)
            answer += header + "\r\n";
        answer += "\r\n";
        // The head goes at once, the body in its pieces.
        socket->write(answer);
        answer = reply.body;
    }
    const bool close = reply.close || (reply.noLength && reply.raw.isEmpty());
    const int pieces = qMax(reply.pieces, 1);
    const int size = (answer.size() + pieces - 1) / pieces;
    QPointer<QTcpSocket> guarded(socket);
    for (int i = 0; i < pieces; ++i) {
        const QByteArray piece = answer.mid(i * size, size);
        const bool last = i == pieces - 1;
        const auto send = [guarded, piece, last, close] {
            if (!guarded)
                return;
            guarded->write(piece);
            if (last && close)
                guarded->disconnectFromHost();
        };
        if (pieces == 1)
            send();
        else
            QTimer::singleShot(i * reply.pauseMs, this, send);
    }
}
