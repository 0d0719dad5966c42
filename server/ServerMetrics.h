#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <array>
#include <atomic>
#include <mutex>

// What GET /metrics and GET /healthz report: requests by command and status,
// how long they took, whether the database answered the last request, and
// the stored jobs as last counted.
// Sessions on any I/O thread count into it; a count costs an atomic add and
// a short lock. It holds nothing secret, so neither page needs the token.
class ServerMetrics
{
public:
    // How the last request that needed the database fared.
    enum Database { DatabaseAnswered, DatabaseUnavailable, DatabaseLost };

    // Read at each scrape from their owners, never from the database.
    struct Gauges
    {
        int workers = 0;
        int workersBusy = 0;
        int waiting = 0;
        qint64 connections = 0;
        qint64 bufferedBytes = 0;
        // The stored jobs as last counted (DatabaseWorkers::Jobs); left out
        // of the page while no count is known.
        bool jobsCounted = false;
        int jobsRunning = 0;
        int jobsWaiting = 0;
        int stationsSeen = 0;
        int jobsQueued = 0;
        int stationsOnline = 0;
    };

    ServerMetrics() = default;
    ServerMetrics(const ServerMetrics&) = delete;
    ServerMetrics& operator=(const ServerMetrics&) = delete;

    // One answered request. `cmd` is a command the server knows, "other"
    // for one it does not, or "none" for a request without one, so that
    // clients cannot grow the label set.
    void Count(const QString& cmd, int status, qint64 nanoseconds);
    void SetDatabase(Database state) { m_database.store(state, std::memory_order_relaxed); }
    // False with a short reason while the database did not answer.
    bool Healthy(QString& reason) const;
    // The Prometheus text format, version 0.0.4.
    QByteArray Render(const Gauges& gauges) const;

    static const char* ContentType() { return "text/plain; version=0.0.4"; }

private:
    // Upper bounds in seconds; the last bucket (+Inf) is implied.
    static constexpr std::array<double, 13> kBounds{0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1,
                                                    0.25,  0.5,    1,     2.5,  5,     10};

    mutable std::mutex m_mutex;
    // By command, then status: a few dozen entries at most.
    QHash<QString, QHash<int, quint64>> m_requests;
    // Not cumulative: each request counts in the first bucket it fits.
    std::array<std::atomic<quint64>, kBounds.size() + 1> m_buckets{};
    std::atomic<quint64> m_nanoseconds{0};
    std::atomic<int> m_database{DatabaseAnswered};
};
