#include "server/DatabaseWorkers.h"

#include "server/ServerConfig.h"
#include "server/ServerSession.h"
#include "platform/Debugger.h"
#include "storage/LocalModel.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <future>

DatabaseWorkers::DatabaseWorkers(const ServerConfig& config)
    : m_database(config.database)
    , m_count(config.databaseWork < 1 ? 1 : config.databaseWork)
    , m_jobLeaseMs(config.jobLeaseMs)
    , m_statementTimeoutMs(config.databaseTimeoutMs)
    , m_readLimit(config.readLimit)
    , m_maxTcList(config.maxTcList)
    , m_stationLeaseMs(config.stationLeaseMs)
{
}

DatabaseWorkers::~DatabaseWorkers()
{
    Stop();
}

void DatabaseWorkers::Start()
{
    {
        std::lock_guard<std::mutex> gaugeLock(m_gaugeMutex);
        m_gaugeStopping = false;
    }
    m_waiters.Start();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stopping = false;
    for (int i = int(m_threads.size()); i < m_count; ++i)
        m_threads.emplace_back([this, i] { Run(i); });
}

void DatabaseWorkers::Stop()
{
    // Held beats are answered as they are; one the workers still hold back
    // then is answered at once.
    m_waiters.Stop();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_queued.notify_all();
    for (std::thread& thread : m_threads)
        thread.join();
    m_threads.clear();
    {
        std::lock_guard<std::mutex> gaugeLock(m_gaugeMutex);
        m_gaugeStopping = true;
    }
    m_gaugeWake.notify_all();
    if (m_gaugeThread.joinable())
        m_gaugeThread.join();
}

DatabaseWorkers::JobGauges DatabaseWorkers::Jobs()
{
    std::lock_guard<std::mutex> lock(m_gaugeMutex);
    if (m_gaugeStopping)
        return m_gauges;
    if (!m_gaugeThread.joinable()) {
        m_gaugeWanted = true;
        m_gaugeThread = std::thread([this] { RunGauges(); });
    } else if (std::chrono::steady_clock::now() - m_gaugesCounted > std::chrono::milliseconds(GaugeMaxAgeMs)) {
        m_gaugeWanted = true;
        m_gaugeWake.notify_one();
    }
    return m_gauges;
}

void DatabaseWorkers::JobsMayHaveChanged()
{
    std::lock_guard<std::mutex> lock(m_gaugeMutex);
    if (!m_gaugeThread.joinable() || m_gaugeWanted)
        return;
    m_gaugeWanted = true;
    m_gaugeWake.notify_one();
}

void DatabaseWorkers::RunGauges()
{
    // Counting on a connection of its own, a slow database delays only the
    // next count, never a scrape nor a request.
    LocalModel model;
    model.SetStatementTimeout(m_statementTimeoutMs);
    const QString name = QStringLiteral("AutoTestServer-gauges");
    std::unique_lock<std::mutex> lock(m_gaugeMutex);
    for (;;) {
        m_gaugeWake.wait(lock, [this] { return m_gaugeStopping || m_gaugeWanted; });
        if (m_gaugeStopping)
            return;
        const auto next = m_gaugesCounted + std::chrono::milliseconds(GaugeMinIntervalMs);
        if (m_gaugeWake.wait_until(lock, next, [this] { return m_gaugeStopping; }))
            return;
        m_gaugeWanted = false;
        lock.unlock();
        JobGauges counted;
        if (model.IsOpen() || model.Open(m_database, name))
            counted.read = model.CountRunningJobs(m_jobLeaseMs, counted.running, counted.waiting, counted.stationsSeen)
                && model.CountLab(m_stationLeaseMs, counted.queued, counted.stationsOnline);
        if (!counted.read) {
            KIV_LOG("Server", "DatabaseWorkers::RunGauges", 3) << "Can't count the running jobs: " << model.LastErrorText();
            // Opened again for the next count: the connection may be lost.
            model.Close();
        }
        counted.running -= counted.waiting;
        lock.lock();
        m_gauges = counted;
        m_gaugesCounted = std::chrono::steady_clock::now();
    }
}

void DatabaseWorkers::Post(QByteArray body, const ServerUser& user, Done done)
{
    auto job = std::make_unique<Job>();
    job->body = std::move(body);
    job->user = user;
    job->done = std::move(done);
    if (Queue(job))
        return;
    Answer answer;
    answer.status = 503;
    answer.reply = QJsonDocument(QJsonObject{{QStringLiteral("result"), QStringLiteral("The server is stopping")}})
                       .toJson(QJsonDocument::Compact);
    job->done(std::move(answer));
}

void DatabaseWorkers::ExpireJobs(bool stations)
{
    auto job = std::make_unique<Job>();
    job->expire = true;
    job->stations = stations;
    std::promise<void> finished;
    std::future<void> waited = finished.get_future();
    job->done = [&finished](Answer&&) { finished.set_value(); };
    if (Queue(job))
        waited.wait();
}

bool DatabaseWorkers::Hold(std::unique_ptr<Job>& job, Answer& answer, const JobQueue::Outcome& outcome, quint64 since)
{
    if (outcome.station.isEmpty())
        return false;
    const bool again = job->deadline != BeatWaiters::Clock::time_point{};
    // A new beat of the station: the one held before went unanswered there.
    if (!again)
        m_waiters.Release(outcome.station);
    const auto now = BeatWaiters::Clock::now();
    if (!outcome.hold || (again && now >= job->deadline))
        return false;
    if (!again)
        job->deadline = now + std::chrono::milliseconds(outcome.waitMs);
    job->held = std::move(answer);
    std::shared_ptr<Job> shared(std::move(job));
    BeatWaiters::Waiter waiter;
    waiter.station = outcome.station;
    waiter.free = outcome.free;
    waiter.deadline = shared->deadline;
    waiter.answer = [shared] { shared->done(std::move(shared->held)); };
    waiter.retry = [this, shared] {
        auto retry = std::make_unique<Job>(std::move(*shared));
        if (!Queue(retry))
            retry->done(std::move(retry->held));
    };
    m_waiters.Hold(std::move(waiter), since);
    return true;
}

int DatabaseWorkers::Waiting()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return int(m_queue.size());
}

bool DatabaseWorkers::Queue(std::unique_ptr<Job>& job)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopping || m_threads.empty())
        return false;
    m_queue.push_back(std::move(job));
    m_queued.notify_one();
    return true;
}

void DatabaseWorkers::Run(int index)
{
    ServerSession session(m_database, QStringLiteral("AutoTestServer-%1").arg(index), m_jobLeaseMs, m_statementTimeoutMs, m_readLimit,
                          m_maxTcList, m_stationLeaseMs);
    int lossesSeen = 0;
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_queued.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
        if (m_queue.empty())
            return;
        std::unique_ptr<Job> job = std::move(m_queue.front());
        m_queue.pop_front();
        const bool othersLost = lossesSeen != m_losses;
        lossesSeen = m_losses;
        lock.unlock();
        if (othersLost)
            session.DropIfLost();
        const int before = session.Losses();
        m_busy.fetch_add(1, std::memory_order_relaxed);
        Answer answer;
        const quint64 since = m_waiters.Generation();
        if (job->expire)
            session.ExpireJobs(job->stations);
        else {
            session.SetRetrying(job->deadline != BeatWaiters::Clock::time_point{});
            answer.reply = session.Handle(job->body, job->user, answer.status, answer.cmd);
        }
        const bool lost = session.Losses() != before;
        m_busy.fetch_sub(1, std::memory_order_relaxed);
        answer.known = session.Knows(answer.cmd);
        // A 400 never reached the database; otherwise it is closed only
        // when it could not be opened or was found lost.
        if (!job->expire && answer.status == 200)
            answer.database = lost ? Answer::Lost : session.IsOpen() ? Answer::Answered : Answer::Unavailable;
        // Outside the lock: the callbacks hand answers to the connections'
        // own threads and may take locks of their own.
        const JobQueue::Outcome outcome = session.TakeLabOutcome();
        if (!Hold(job, answer, outcome, since)) {
            job->body.clear();
            job->done(std::move(answer));
        }
        job.reset();
        for (const LabWake& wake : outcome.wakes)
            m_waiters.Wake(wake);
        JobsMayHaveChanged();
        lock.lock();
        if (lost)
            lossesSeen = ++m_losses;
    }
}
