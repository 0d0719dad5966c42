#include "server/ServerMetrics.h"

#include <QStringList>

#include <algorithm>

constexpr std::array<double, 13> ServerMetrics::kBounds;

void ServerMetrics::Count(const QString& cmd, int status, qint64 nanoseconds)
{
    const double seconds = double(qMax<qint64>(0, nanoseconds)) / 1e9;
    const std::size_t bucket = std::size_t(std::lower_bound(kBounds.begin(), kBounds.end(), seconds) - kBounds.begin());
    m_buckets[bucket].fetch_add(1, std::memory_order_relaxed);
    m_nanoseconds.fetch_add(quint64(qMax<qint64>(0, nanoseconds)), std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_requests[cmd][status];
}

bool ServerMetrics::Healthy(QString& reason) const
{
    switch (m_database.load(std::memory_order_relaxed)) {
    case DatabaseUnavailable:
        reason = QStringLiteral("database not available");
        return false;
    case DatabaseLost:
        reason = QStringLiteral("database connection lost");
        return false;
    default:
        return true;
    }
}

QByteArray ServerMetrics::Render(const Gauges& gauges) const
{
    QByteArray out;
    out += "# HELP autotest_requests_total HTTP requests answered, by command and status.\n"
           "# TYPE autotest_requests_total counter\n";
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // Sorted, so that successive scrapes read alike.
        QStringList commands = m_requests.keys();
        commands.sort();
        for (const QString& cmd : commands) {
            const QHash<int, quint64>& byStatus = m_requests.value(cmd);
            QList<int> statuses = byStatus.keys();
            std::sort(statuses.begin(), statuses.end());
            for (int status : statuses)
                out += "autotest_requests_total{cmd=\"" + cmd.toUtf8() + "\",status=\"" + QByteArray::number(status) + "\"} "
                    + QByteArray::number(byStatus.value(status)) + '\n';
        }
    }
    out += "# HELP autotest_request_seconds Time from a request's first byte to its reply being ready.\n"
           "# TYPE autotest_request_seconds histogram\n";
    quint64 count = 0;
    for (std::size_t i = 0; i < m_buckets.size(); ++i) {
        count += m_buckets[i].load(std::memory_order_relaxed);
        const QByteArray bound = i < kBounds.size() ? QByteArray::number(kBounds[i]) : QByteArray("+Inf");
        out += "autotest_request_seconds_bucket{le=\"" + bound + "\"} " + QByteArray::number(count) + '\n';
    }
    out += "autotest_request_seconds_sum " + QByteArray::number(double(m_nanoseconds.load(std::memory_order_relaxed)) / 1e9, 'f', 6)
        + '\n';
    out += "autotest_request_seconds_count " + QByteArray::number(count) + '\n';
    const auto gauge = [&out](const char* name, const char* help, qint64 value) {
        out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + " gauge\n" + name + ' ' + QByteArray::number(value) + '\n';
    };
    gauge("autotest_database_workers", "Threads that answer requests, a database connection each.", gauges.workers);
    gauge("autotest_database_workers_busy", "Database workers answering a request now.", gauges.workersBusy);
    gauge("autotest_database_waiting", "Requests waiting for a database worker.", gauges.waiting);
    gauge("autotest_open_connections", "Open client connections.", gauges.connections);
    gauge("autotest_buffered_bytes", "Request bodies being read plus replies being written.", gauges.bufferedBytes);
    if (gauges.jobsCounted) {
        gauge("autotest_jobs_running", "Stored jobs running (status 2) and not waiting for their device, as last counted.",
              gauges.jobsRunning);
        gauge("autotest_jobs_waiting", "Stored jobs running (status 2) that wait for their device, as last counted.",
              gauges.jobsWaiting);
        gauge("autotest_stations_seen",
              "Running jobs whose station was heard of (job start, job_progress) within the job lease; a station is known "
              "by its jobs, so one running two jobs counts twice.",
              gauges.stationsSeen);
        gauge("autotest_jobs_queued", "Jobs in the lab's queue (status 1), as last counted.", gauges.jobsQueued);
        gauge("autotest_stations_online", "Stations whose last station_beat is younger than the station lease, as last counted.",
              gauges.stationsOnline);
    }
    QString reason;
    gauge("autotest_database_up", "1 when the database answered the last request that needed it.", Healthy(reason) ? 1 : 0);
    return out;
}
