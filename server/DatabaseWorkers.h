#pragma once

#include "server/BeatWaiters.h"
#include "server/JobQueue.h"
#include "server/UserTable.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

struct ServerConfig;

// The threads that work the database: a fixed number of them, each answering
// through a ServerSession (and so a database connection) of its own, taking
// requests in the order they came. The HTTP side hands a request over and is
// called back with the answer; no I/O thread waits for the database.
//
// With every connection's thread working the database itself, dozens of
// sessions ran together on a machine of few cores and mostly waited for each
// other; held to a few at a time by a gate, either a woken thread lost its
// turn to new arrivals (one answer in a hundred took twenty times the median)
// or, served in order, each turn sat idle until the thread it passed to was
// scheduled. A worker here goes from one request straight to the next.
class DatabaseWorkers
{
public:
    struct Answer
    {
        QByteArray reply;
        // As ServerSession::Handle gives them.
        int status = 0;
        QString cmd;
        // Whether `cmd` is one the server knows: metrics label others alike.
        bool known = false;
        // How the database took the request, for /healthz.
        enum Reach { NotAsked, Answered, Unavailable, Lost } database = NotAsked;
    };
    // Called on a worker thread, or on the caller's when the workers are stopping.
    using Done = std::function<void(Answer&&)>;

    // Its database, threads, lease, statement deadline and read bounds.
    explicit DatabaseWorkers(const ServerConfig& config);
    ~DatabaseWorkers();
    DatabaseWorkers(const DatabaseWorkers&) = delete;
    DatabaseWorkers& operator=(const DatabaseWorkers&) = delete;

    void Start();
    // Answers what is queued, then joins the workers (their connections
    // close in the threads that opened them).
    void Stop();
    // Queues one request body, done as `user`; `done` gets its answer.
    void Post(QByteArray body, const ServerUser& user, Done done);
    // Finishes, on a worker, the jobs that have been silent for the job
    // lease, or (`stations`) whose station has been silent for the station
    // lease; blocks the caller until then.
    void ExpireJobs(bool stations = false);
    // Answers the held beats as they are, and any beat from then on at once.
    void ReleaseHeld() { m_waiters.Stop(); }

    // The stored jobs as last counted, for /metrics. Never waits for the
    // database: the first call starts a thread with a connection of its own
    // that counts them again, at most once a second, after any request was
    // answered (a job may have changed) or when the count is older than
    // GaugeMaxAgeMs (a station's lease runs out with time, and other servers
    // may share the database). `read` is false until a count succeeded, and
    // again while the last one failed.
    struct JobGauges
    {
        bool read = false;
        int running = 0;
        int waiting = 0;
        // Running jobs whose station was heard of within the job lease.
        int stationsSeen = 0;
        // Jobs in the lab's queue, and stations online (within the station lease).
        int queued = 0;
        int stationsOnline = 0;
    };
    static constexpr int GaugeMaxAgeMs = 5000;
    static constexpr int GaugeMinIntervalMs = 1000;
    JobGauges Jobs();

    int Count() const { return m_count; }
    // Workers answering a request now, and requests waiting for one.
    int Busy() const { return m_busy.load(std::memory_order_relaxed); }
    int Waiting();

private:
    struct Job
    {
        QByteArray body;
        ServerUser user;
        Done done;
        // Not a request: the lease check, of jobs or of stations.
        bool expire = false;
        bool stations = false;
        // A beat held for work: until when, and its answer meanwhile.
        BeatWaiters::Clock::time_point deadline{};
        Answer held;
    };

    void Run(int index);
    // Holds a beat that found no work (`outcome`), or answers it when its
    // wait is over; false when it is not to be held.
    // `since`: the wakes' generation before the request was handled.
    bool Hold(std::unique_ptr<Job>& job, Answer& answer, const JobQueue::Outcome& outcome, quint64 since);
    // Takes `job`; false, leaving it with the caller, when stopping.
    bool Queue(std::unique_ptr<Job>& job);

    QString m_database;
    int m_count;
    int m_jobLeaseMs;
    int m_statementTimeoutMs;
    qint64 m_readLimit;
    int m_maxTcList;
    int m_stationLeaseMs;
    std::mutex m_mutex;
    std::condition_variable m_queued;
    std::deque<std::unique_ptr<Job>> m_queue;
    bool m_stopping = false;
    // Counts connections found lost: when the database restarts, every
    // worker's connection is gone, and one failed request is enough to say so.
    int m_losses = 0;
    std::atomic<int> m_busy{0};
    std::vector<std::thread> m_threads;
    BeatWaiters m_waiters;

    void RunGauges();
    // Asks the gauge thread for a new count, if it runs.
    void JobsMayHaveChanged();
    std::mutex m_gaugeMutex;
    std::condition_variable m_gaugeWake;
    JobGauges m_gauges;
    std::chrono::steady_clock::time_point m_gaugesCounted;
    bool m_gaugeWanted = false;
    bool m_gaugeStopping = false;
    std::thread m_gaugeThread;
};
