#pragma once

#include <QObject>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

class HttpResponseReader;
class RemoteReply;

// One kept-alive HTTP/1.1 connection to a host and port, carrying one request
// at a time. The socket reads at most ReadBufferSize ahead of the parser, so
// a sender faster than this thread waits in its own socket instead of
// filling this process's memory.
class HttpConnection : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 ReadBufferSize = 256 * 1024;
    // As long as Qt's own transport keeps an unused connection.
    static constexpr int IdleTimeoutMs = 120 * 1000;

    HttpConnection(const QString& host, quint16 port, QObject* parent = nullptr);
    ~HttpConnection() override;

    // Sends the reply's request, connecting first when needed. Only when Idle().
    void Start(RemoteReply* reply);
    bool Idle() const { return !m_closed && m_reply.isNull(); }
    RemoteReply* Current() const { return m_reply; }
    // Closes at once, leaving the request it carries to the caller. Signals
    // nothing.
    void Drop();

Q_SIGNALS:
    // The answer is complete and the connection can carry the next request.
    void Released(HttpConnection* connection);
    // The connection is gone. `retry` is a request it could not carry that
    // may go again on another connection; nullptr when there is none.
    void Closed(HttpConnection* connection, RemoteReply* retry);

private:
    void Send();
    void OnReadyRead();
    void OnClosed();
    // Hands what the reader has to the reply; false once the connection no
    // longer carries it (complete, failed, or aborted by a callback).
    bool Deliver();
    void Complete();
    void Close(RemoteReply* retry);

    QString m_host;
    quint16 m_port = 0;
    QTcpSocket m_socket;
    QTimer m_idle;
    QPointer<RemoteReply> m_reply;
    std::unique_ptr<HttpResponseReader> m_reader;
    bool m_headSent = false;
    bool m_closed = false;
    int m_served = 0;
};
