#include "front/HostMetrics.h"

#include "front/KIVAutoTestService.h"

#include <QJsonObject>
#include <QPointer>
#include <QUrl>

#include <algorithm>
#include <memory>

constexpr std::array<double, 13> HostMetrics::kBounds;

namespace {

// A request on its way to its first answer.
struct Metered
{
    QPointer<HostMetrics> metrics;
    QString label;
    QElapsedTimer clock;
    bool counted = false;
};

// A failure is an answer whose "result" is neither "ok" nor true, or a job
// report whose "VALUE" says false; answers without a result (templates) are ok.
bool succeeded(const QJsonObject& answer)
{
    const QJsonValue result = answer.value(QStringLiteral("result"));
    if (!result.isUndefined())
        return result == QJsonValue(QStringLiteral("ok")) || result == QJsonValue(true);
    const QJsonValue value = answer.value(QStringLiteral("VALUE"));
    return !value.isObject() || value.toObject().value(QStringLiteral("result")) != QJsonValue(false);
}

} // namespace

HostMetrics::HostMetrics(KIVAutoTestService& service, const KIVWebSocketServer& clients, const QString& controller,
                         QObject* parent)
    : QObject(parent)
    , m_service(service)
    , m_clients(clients)
{
    const QUrl url(controller);
    m_controllerHost = url.host();
    m_controllerPort = quint16(url.port(0));
    m_probeTimeout.setSingleShot(true);
    m_probeTimeout.setInterval(ProbeTimeoutMs);
    connect(&m_probeTimeout, &QTimer::timeout, this, [this] { ProbeEnded(false); });
    connect(&m_probe, &QTcpSocket::connected, this, [this] { ProbeEnded(true); });
    connect(&m_probe, &QAbstractSocket::errorOccurred, this, [this] { ProbeEnded(false); });
}

void HostMetrics::Meter(const QString& cmd, RequestContext& context)
{
    auto metered = std::make_shared<Metered>();
    metered->metrics = this;
    metered->label = cmd.isEmpty() ? QStringLiteral("none") : m_service.KnowsCommand(cmd) ? cmd : QStringLiteral("other");
    metered->clock.start();
    // Counted at the first answer, whether its client is still there or not;
    // a job's report may come again, and counts once.
    const auto count = [metered](const QJsonObject& answer) {
        if (metered->counted || !metered->metrics)
            return;
        metered->counted = true;
        metered->metrics->Count(metered->label, succeeded(answer), metered->clock.nsecsElapsed());
    };
    if (context.reply) {
        context.reply = [count, reply = context.reply](const QJsonObject& answer) {
            count(answer);
            reply(answer);
        };
    }
    if (context.rawReply) {
        context.rawReply = [count, raw = context.rawReply](const QJsonObject& answer,
                                                           const QVector<RequestEnvelope::RawMember>& members) {
            count(answer);
            raw(answer, members);
        };
    }
}

void HostMetrics::CountUnreadable()
{
    Count(QStringLiteral("none"), false, 0);
}

void HostMetrics::Count(const QString& label, bool ok, qint64 nanoseconds)
{
    const double seconds = double(qMax<qint64>(0, nanoseconds)) / 1e9;
    ++m_buckets[std::size_t(std::lower_bound(kBounds.begin(), kBounds.end(), seconds) - kBounds.begin())];
    m_nanoseconds += qMax<qint64>(0, nanoseconds);
    ++m_requests[label][ok ? 1 : 0];
}

QList<QByteArray> HostMetrics::Paths()
{
    return {QByteArrayLiteral("/metrics"), QByteArrayLiteral("/healthz")};
}

void HostMetrics::Serve(const QByteArray& path, const KIVWebSocketServer::PageAnswer& answer)
{
    const bool health = path == "/healthz";
    WithController([this, health, answer] {
        if (!health) {
            answer(200, QByteArrayLiteral("text/plain; version=0.0.4"), Render());
            return;
        }
        QString reason;
        const bool healthy = Healthy(reason);
        answer(healthy ? 200 : 503, QByteArrayLiteral("text/plain; charset=utf-8"),
               healthy ? QByteArrayLiteral("ok\n") : reason.toUtf8() + '\n');
    });
}

void HostMetrics::WithController(const std::function<void()>& then)
{
    if (m_probed.isValid() && m_probed.elapsed() < ProbeMaxAgeMs) {
        then();
        return;
    }
    m_waitingForProbe.append(then);
    if (m_probeTimeout.isActive())
        return;
    m_probeTimeout.start();
    m_probe.abort();
    m_probe.connectToHost(m_controllerHost, m_controllerPort);
}

void HostMetrics::ProbeEnded(bool reached)
{
    if (!m_probeTimeout.isActive())
        return;
    m_probeTimeout.stop();
    m_controllerUp = reached;
    m_probed.start();
    // Closed on a later turn: abort() here would run inside the socket's own signal.
    QTimer::singleShot(0, &m_probe, [this] { m_probe.abort(); });
    const QList<std::function<void()>> waiting = std::exchange(m_waitingForProbe, {});
    for (const std::function<void()>& then : waiting)
        then();
}

bool HostMetrics::Healthy(QString& reason) const
{
    QStringList problems;
    if (!m_service.Load().databaseOpen)
        problems << QStringLiteral("local database not open");
    if (!m_controllerUp)
        problems << QStringLiteral("controller not reachable");
    reason = problems.join(QStringLiteral("; "));
    return problems.isEmpty();
}

QByteArray HostMetrics::Render() const
{
    QByteArray out;
    out += "# HELP autotest_host_requests_total Requests answered, by command and result (ok or failed).\n"
           "# TYPE autotest_host_requests_total counter\n";
    for (auto it = m_requests.cbegin(); it != m_requests.cend(); ++it) {
        for (int ok = 1; ok >= 0; --ok) {
            if (it.value()[std::size_t(ok)] > 0)
                out += "autotest_host_requests_total{cmd=\"" + it.key().toUtf8() + "\",result=\"" + (ok ? "ok" : "failed")
                    + "\"} " + QByteArray::number(it.value()[std::size_t(ok)]) + '\n';
        }
    }
    out += "# HELP autotest_host_request_seconds Time from a request's message to its first answer.\n"
           "# TYPE autotest_host_request_seconds histogram\n";
    quint64 count = 0;
    for (std::size_t i = 0; i < m_buckets.size(); ++i) {
        count += m_buckets[i];
        const QByteArray bound = i < kBounds.size() ? QByteArray::number(kBounds[i]) : QByteArray("+Inf");
        out += "autotest_host_request_seconds_bucket{le=\"" + bound + "\"} " + QByteArray::number(count) + '\n';
    }
    out += "autotest_host_request_seconds_sum " + QByteArray::number(double(m_nanoseconds) / 1e9, 'f', 6) + '\n';
    out += "autotest_host_request_seconds_count " + QByteArray::number(count) + '\n';
    const auto gauge = [&out](const char* name, const char* help, qint64 value) {
        out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + " gauge\n" + name + ' ' + QByteArray::number(value) + '\n';
    };
    const KIVAutoTestLoad load = m_service.Load();
    gauge("autotest_host_open_connections", "Open WebSocket client connections.", m_clients.ConnectionCount());
    gauge("autotest_host_jobs_running", "Jobs started and not waiting for their device.", load.jobsRunning);
    gauge("autotest_host_jobs_waiting", "Jobs waiting for their device, held by another job.", load.jobsWaiting);
    gauge("autotest_host_devices_connected", "Device channels of running jobs open at the controller.", load.devicesConnected);
    gauge("autotest_host_controller_up", "1 when the controller accepted a connection at the last check.", m_controllerUp ? 1 : 0);
    gauge("autotest_host_script_processes", "Script processes (autotest-script) running.", load.scriptProcesses);
    gauge("autotest_host_database_up", "1 when the local database is open.", load.databaseOpen ? 1 : 0);
    return out;
}
