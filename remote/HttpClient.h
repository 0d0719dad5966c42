#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <deque>
#include <map>
#include <vector>

class HttpConnection;
class QNetworkRequest;
class RemoteReply;

// A small HTTP/1.1 client on the caller's thread: POSTs over kept-alive
// connections, at most ConnectionsPerHost to one host and port, with later
// requests queued behind them in order.
class HttpClient : public QObject
{
    Q_OBJECT

public:
    static constexpr int ConnectionsPerHost = 6;

    explicit HttpClient(QObject* parent = nullptr);
    ~HttpClient() override;

    // Posts `body` to the request's URL with the request's headers. The reply
    // finishes later, never within this call; an answer whose body is larger
    // than `maxBodySize` fails as too large.
    RemoteReply* Post(const QNetworkRequest& request, const QByteArray& body, qint64 maxBodySize);
    int Connections() const;

private:
    struct Host
    {
        QString name;
        quint16 port = 0;
        std::vector<HttpConnection*> connections;
        std::deque<QPointer<RemoteReply>> queue;
    };

    void OnAbort(RemoteReply* reply);
    void OnClosed(HttpConnection* connection, RemoteReply* retry);
    void ScheduleDispatch();
    void Dispatch();
    Host* HostOf(const QString& key);
    void Forget(Host& host, HttpConnection* connection);

    std::map<QString, Host> m_hosts;
    bool m_dispatchPending = false;
};
