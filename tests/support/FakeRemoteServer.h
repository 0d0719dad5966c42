#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTcpServer>

class QTcpSocket;

// A test-management server for tests: answers POSTs with scripted replies and
// records every request it received, Host header included.
class FakeRemoteServer : public QObject
{
    Q_OBJECT

public:
    struct Request
    {
        QByteArray method;
        QByteArray path;
        QHash<QByteArray, QByteArray> headers; // names in lower case
        QByteArray body;
    };
    struct Reply
    {
        int status = 200;
        QByteArray body = "{\"result\":\"ok\"}";
        QList<QByteArray> extraHeaders;
        // Sent in this many pieces with a pause between them, so that the
        // client sees progress in several steps.
        int pieces = 1;
        int pauseMs = 0;
        // Never answers at all.
        bool silent = false;
        // Sends no Content-Length and closes after the body.
        bool noLength = false;
        // Sent as it is instead of an answer built from the fields above
        // (still in `pieces`).
        QByteArray raw = QByteArray();
        // Closes the connection after the answer (or, when silent, at once).
        bool close = false;
    };

    explicit FakeRemoteServer(QObject* parent = nullptr);

    // Port 0 takes a free one (see Port()).
    bool Listen(quint16 port = 0);
    quint16 Port() const { return m_server.serverPort(); }
    // Replies are used in order; when none is queued the default one answers.
    void Queue(const Reply& reply) { m_queue.append(reply); }
    const QList<Request>& Received() const { return m_received; }
    int Connections() const { return m_connections; }

private:
    void OnConnection();
    void OnData(QTcpSocket* socket);
    void Answer(QTcpSocket* socket);

    QTcpServer m_server;
    QList<Reply> m_queue;
    QList<Request> m_received;
    QHash<QTcpSocket*, QByteArray> m_buffers;
    int m_connections = 0;
};
