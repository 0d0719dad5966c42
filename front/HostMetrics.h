#pragma once

#include "front/KIVAutoTestGlobal.h"
#include "front/RequestContext.h"
#include "platform/KIVWebSocketServer.h"

#include <QElapsedTimer>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTcpSocket>
#include <QTimer>

#include <array>
#include <functional>

class KIVAutoTestService;

// What the host's GET /metrics and GET /healthz report, in the Prometheus
// text format and naming of autotest-server's ServerMetrics (prefix
// autotest_host_): requests by command and result, how long they took, open
// client connections, jobs running and waiting, device channels, script
// processes, and whether the controller and the database are there. Nothing
// secret: no token, no address.
//
// Jobs open the controller's channels only while they run, so whether it is
// there is asked by a TCP connection to it, at most every ProbeMaxAgeMs and
// only when a page needs it: an idle host makes no traffic. A page waits for
// that answer, ProbeTimeoutMs at most, on the event loop.
class KIVAUTOTEST_EXPORT HostMetrics : public QObject
{
    Q_OBJECT

public:
    static constexpr int ProbeTimeoutMs = 2000;
    static constexpr int ProbeMaxAgeMs = 2000;

    // `clients` is the server whose connections count as open; `controller`
    // is "ws://HOST:PORT" as the service was given it.
    HostMetrics(KIVAutoTestService& service, const KIVWebSocketServer& clients, const QString& controller,
                QObject* parent = nullptr);
    HostMetrics(const HostMetrics&) = delete;
    HostMetrics& operator=(const HostMetrics&) = delete;

    // Counts the request of `cmd` (as the client named it) at its first
    // answer, which `context` then passes through.
    void Meter(const QString& cmd, RequestContext& context);
    // A message that was not a request.
    void CountUnreadable();

    // The paths Serve answers, for KIVWebSocketServer::SetPages.
    static QList<QByteArray> Paths();
    void Serve(const QByteArray& path, const KIVWebSocketServer::PageAnswer& answer);

private:
    // Upper bounds in seconds, as the server's; the last bucket (+Inf) is implied.
    static constexpr std::array<double, 13> kBounds{0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1,
                                                    0.25,  0.5,    1,     2.5,  5,     10};

    void Count(const QString& label, bool ok, qint64 nanoseconds);
    QByteArray Render() const;
    bool Healthy(QString& reason) const;
    // Runs `then` once the controller was asked (now, when it was lately).
    void WithController(const std::function<void()>& then);
    void ProbeEnded(bool reached);

    KIVAutoTestService& m_service;
    const KIVWebSocketServer& m_clients;
    QString m_controllerHost;
    quint16 m_controllerPort = 0;
    QTcpSocket m_probe;
    QTimer m_probeTimeout;
    // Since the last probe ended; invalid before the first.
    QElapsedTimer m_probed;
    bool m_controllerUp = false;
    QList<std::function<void()>> m_waitingForProbe;
    // By command label, then failed (index 0) and ok (1); sorted for the page.
    QMap<QString, std::array<quint64, 2>> m_requests;
    // Not cumulative: each request counts in the first bucket it fits.
    std::array<quint64, kBounds.size() + 1> m_buckets{};
    qint64 m_nanoseconds = 0;
};
