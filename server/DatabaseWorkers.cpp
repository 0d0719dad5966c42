#include "server/DatabaseWorkers.h"

#include "server/ServerSession.h"

#include <QJsonDocument>
#include <QJsonObject>

DatabaseWorkers::DatabaseWorkers(const QString& database, int count, int jobLeaseMs)
    : m_database(database)
    , m_count(count < 1 ? 1 : count)
    , m_jobLeaseMs(jobLeaseMs)
{
}

DatabaseWorkers::~DatabaseWorkers()
{
    Stop();
}

void DatabaseWorkers::Start()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = false;
    for (int i = int(m_threads.size()); i < m_count; ++i)
        m_threads.emplace_back([this, i] { Run(i); });
}

void DatabaseWorkers::Stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_queued.notify_all();
    for (std::thread& thread : m_threads)
        thread.join();
    m_threads.clear();
}

QByteArray DatabaseWorkers::Answer(const QByteArray& body, int& status, QString& cmd)
{
    Job job;
    // The caller's buffer may not outlive this call; the worker reads a copy
    // it shares with nobody.
    job.body = QByteArray(body.constData(), body.size());
    if (!Queue(job)) {
        status = 503;
        return QJsonDocument(QJsonObject{{QStringLiteral("result"), QStringLiteral("The server is stopping")}})
            .toJson(QJsonDocument::Compact);
    }
    status = job.status;
    cmd = job.cmd;
    return job.reply;
}

void DatabaseWorkers::ExpireJobs()
{
    Job job;
    job.expire = true;
    Queue(job);
}

bool DatabaseWorkers::Queue(Job& job)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_stopping || m_threads.empty())
        return false;
    m_queue.push_back(&job);
    m_queued.notify_one();
    job.finished.wait(lock, [&job] { return job.done; });
    return true;
}

void DatabaseWorkers::Run(int index)
{
    ServerSession session(m_database, QStringLiteral("AutoTestServer-%1").arg(index), m_jobLeaseMs);
    int lossesSeen = 0;
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_queued.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
        if (m_queue.empty())
            return;
        Job* job = m_queue.front();
        m_queue.pop_front();
        const bool othersLost = lossesSeen != m_losses;
        lossesSeen = m_losses;
        lock.unlock();
        if (othersLost)
            session.DropIfLost();
        const int before = session.Losses();
        int status = 0;
        QString cmd;
        QByteArray reply;
        if (job->expire)
            session.ExpireJobs();
        else
            reply = session.Handle(job->body, status, cmd);
        lock.lock();
        if (session.Losses() != before)
            lossesSeen = ++m_losses;
        job->reply = std::move(reply);
        job->status = status;
        job->cmd = cmd;
        job->done = true;
        // Under the lock: once the caller sees `done` it returns, and the job
        // with its condition is gone.
        job->finished.notify_one();
    }
}
