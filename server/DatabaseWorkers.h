#pragma once

#include <QByteArray>
#include <QString>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

// The threads that work the database: a fixed number of them, each answering
// through a ServerSession (and so a database connection) of its own, taking
// requests in the order they came. The HTTP threads, one per open connection,
// hand their request over and wait for its answer.
//
// With every HTTP thread working the database itself, dozens of sessions ran
// together on a machine of few cores and mostly waited for each other; held
// to a few at a time by a gate, either a woken thread lost its turn to new
// arrivals (one answer in a hundred took twenty times the median) or, served
// in order, each turn sat idle until the thread it passed to was scheduled.
// A worker here goes from one request straight to the next.
class DatabaseWorkers
{
public:
    DatabaseWorkers(const QString& database, int count, int jobLeaseMs);
    ~DatabaseWorkers();
    DatabaseWorkers(const DatabaseWorkers&) = delete;
    DatabaseWorkers& operator=(const DatabaseWorkers&) = delete;

    void Start();
    // Answers what is queued, then joins the workers (their connections
    // close in the threads that opened them).
    void Stop();
    // Answers one request body on a worker, blocking the caller until then.
    // `status` and `cmd` as ServerSession::Handle gives them.
    QByteArray Answer(const QByteArray& body, int& status, QString& cmd);
    // Finishes, on a worker, the jobs whose station has been silent for the
    // lease; blocks the caller until then.
    void ExpireJobs();

private:
    struct Job
    {
        QByteArray body;
        QByteArray reply;
        int status = 0;
        QString cmd;
        // Not a request: the lease check.
        bool expire = false;
        bool done = false;
        std::condition_variable finished;
    };

    void Run(int index);

    // Queues `job` and waits for a worker to finish it; false when stopping.
    bool Queue(Job& job);

    QString m_database;
    int m_count;
    int m_jobLeaseMs;
    std::mutex m_mutex;
    std::condition_variable m_queued;
    std::deque<Job*> m_queue;
    bool m_stopping = false;
    // Counts connections found lost: when the database restarts, every
    // worker's connection is gone, and one failed request is enough to say so.
    int m_losses = 0;
    std::vector<std::thread> m_threads;
};
