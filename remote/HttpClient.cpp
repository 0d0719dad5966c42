#include "remote/HttpClient.h"

#include "remote/HttpConnection.h"
#include "remote/RemoteReply.h"

#include <QNetworkRequest>
#include <QTimer>

#include <algorithm>

namespace {

QString keyOf(const QUrl& url)
{
    return url.host() + QLatin1Char(':') + QString::number(url.port(80));
}

} // namespace

HttpClient::HttpClient(QObject* parent)
    : QObject(parent)
{
}

HttpClient::~HttpClient()
{
    // Before the map goes: a closing connection reports to it.
    for (auto& entry : m_hosts) {
        for (HttpConnection* connection : entry.second.connections) {
            connection->disconnect(this);
            delete connection;
        }
    }
}

int HttpClient::Connections() const
{
    int count = 0;
    for (const auto& entry : m_hosts)
        count += int(entry.second.connections.size());
    return count;
}

RemoteReply* HttpClient::Post(const QNetworkRequest& request, const QByteArray& body, qint64 maxBodySize)
{
    auto* reply = new RemoteReply(request, body, maxBodySize, this);
    const QUrl url = request.url();
    if (url.scheme() != QLatin1String("http") || url.host().isEmpty()) {
        const QString text = url.scheme() != QLatin1String("http")
            ? QStringLiteral("Protocol \"%1\" is unknown").arg(url.scheme())
            : QStringLiteral("Host %1 not found").arg(url.host());
        const QNetworkReply::NetworkError code = url.scheme() != QLatin1String("http")
            ? QNetworkReply::ProtocolUnknownError : QNetworkReply::HostNotFoundError;
        QTimer::singleShot(0, reply, [reply, code, text] { reply->FinishWithError(code, text); });
        return reply;
    }
    connect(reply, &RemoteReply::AbortRequested, this, [this, reply] { OnAbort(reply); });
    Host& host = m_hosts[keyOf(url)];
    host.name = url.host();
    host.port = quint16(url.port(80));
    host.queue.emplace_back(reply);
    ScheduleDispatch();
    return reply;
}

HttpClient::Host* HttpClient::HostOf(const QString& key)
{
    const auto found = m_hosts.find(key);
    return found == m_hosts.end() ? nullptr : &found->second;
}

void HttpClient::Forget(Host& host, HttpConnection* connection)
{
    host.connections.erase(std::remove(host.connections.begin(), host.connections.end(), connection),
                           host.connections.end());
    // It may still be on the stack: its socket's signal brought us here.
    connection->disconnect(this);
    connection->deleteLater();
}

void HttpClient::OnAbort(RemoteReply* reply)
{
    Host* host = HostOf(keyOf(reply->url()));
    if (!host)
        return;
    const auto queued = std::find(host->queue.begin(), host->queue.end(), reply);
    if (queued != host->queue.end()) {
        host->queue.erase(queued);
        return;
    }
    for (HttpConnection* connection : host->connections) {
        if (connection->Current() == reply) {
            // The answer may still be on its way: only a new connection is
            // sure to carry the next request.
            connection->Drop();
            Forget(*host, connection);
            ScheduleDispatch();
            return;
        }
    }
}

void HttpClient::OnClosed(HttpConnection* connection, RemoteReply* retry)
{
    for (auto& entry : m_hosts) {
        Host& host = entry.second;
        if (std::find(host.connections.begin(), host.connections.end(), connection) == host.connections.end())
            continue;
        Forget(host, connection);
        if (retry)
            host.queue.emplace_front(retry);
        break;
    }
    ScheduleDispatch();
}

void HttpClient::ScheduleDispatch()
{
    if (m_dispatchPending)
        return;
    m_dispatchPending = true;
    // One pass after the current event: aborting many requests at once then
    // opens no connection just to close it again.
    QMetaObject::invokeMethod(this, &HttpClient::Dispatch, Qt::QueuedConnection);
}

void HttpClient::Dispatch()
{
    m_dispatchPending = false;
    for (auto it = m_hosts.begin(); it != m_hosts.end();) {
        Host& host = it->second;
        while (!host.queue.empty()) {
            RemoteReply* reply = host.queue.front();
            if (!reply || reply->isFinished()) {
                host.queue.pop_front();
                continue;
            }
            const auto idle = std::find_if(host.connections.begin(), host.connections.end(),
                                           [](HttpConnection* connection) { return connection->Idle(); });
            HttpConnection* connection = idle == host.connections.end() ? nullptr : *idle;
            if (!connection) {
                if (int(host.connections.size()) >= ConnectionsPerHost)
                    break;
                connection = new HttpConnection(host.name, host.port, this);
                connect(connection, &HttpConnection::Released, this, &HttpClient::ScheduleDispatch);
                connect(connection, &HttpConnection::Closed, this, &HttpClient::OnClosed);
                host.connections.push_back(connection);
            }
            host.queue.pop_front();
            connection->Start(reply);
        }
        if (host.connections.empty() && host.queue.empty())
            it = m_hosts.erase(it);
        else
            ++it;
    }
}
