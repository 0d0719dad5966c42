#include "server/BeatWaiters.h"

#include <vector>

BeatWaiters::~BeatWaiters()
{
    Stop();
}

void BeatWaiters::Start()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_stopping)
        return;
    m_stopping = false;
    m_thread = std::thread([this] { Run(); });
}

void BeatWaiters::Stop()
{
    std::map<quint64, Waiter> held;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        held.swap(m_waiters);
    }
    m_changed.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    for (auto& entry : held)
        entry.second.answer();
}

quint64 BeatWaiters::Generation()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_generation;
}

void BeatWaiters::Hold(Waiter waiter, quint64 since)
{
    std::function<void()> earlier;
    bool held = false;
    bool missed = false;
    bool stopping = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        stopping = m_stopping;
        // Wakes older than those kept may have concerned it too.
        missed = m_generation - since > m_recent.size();
        for (quint64 gen = since + 1; !missed && gen <= m_generation; ++gen)
            missed = Concerns(m_recent.at(m_recent.size() - (m_generation - gen) - 1), waiter);
        if (!m_stopping && !missed) {
            held = true;
            for (auto it = m_waiters.begin(); it != m_waiters.end(); ++it) {
                if (it->second.station == waiter.station) {
                    earlier = std::move(it->second.answer);
                    m_waiters.erase(it);
                    break;
                }
            }
            m_waiters.emplace(m_next++, std::move(waiter));
            m_changed.notify_all();
        }
    }
    if (earlier)
        earlier();
    if (held)
        return;
    if (missed && !stopping)
        waiter.retry();
    else
        waiter.answer();
}

void BeatWaiters::Release(const QString& station)
{
    std::function<void()> answer;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_waiters.begin(); it != m_waiters.end(); ++it) {
            if (it->second.station == station) {
                answer = std::move(it->second.answer);
                m_waiters.erase(it);
                break;
            }
        }
    }
    if (answer)
        answer();
}

bool BeatWaiters::Fits(const LabWake& job, const QString& station, const Device& device)
{
    if (!job.device.isEmpty())
        return job.device == device.url && (job.queueStation.isEmpty() || job.queueStation == station);
    for (const QString& tag : job.tags) {
        if (!device.tags.contains(tag))
            return false;
    }
    return true;
}

bool BeatWaiters::Concerns(const LabWake& wake, const Waiter& waiter) const
{
    if (!wake.station.isEmpty())
        return waiter.station == wake.station;
    for (const Device& device : waiter.free) {
        if (Fits(wake, waiter.station, device))
            return true;
    }
    return false;
}

void BeatWaiters::Wake(const LabWake& wake)
{
    std::function<void()> retry;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_recent.push_back(wake);
        if (m_recent.size() > RecentWakes)
            m_recent.pop_front();
        ++m_generation;
        for (auto it = m_waiters.begin(); it != m_waiters.end(); ++it) {
            if (Concerns(wake, it->second)) {
                retry = std::move(it->second.retry);
                m_waiters.erase(it);
                break;
            }
        }
    }
    if (retry)
        retry();
}

void BeatWaiters::Run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping) {
        auto first = Clock::time_point::max();
        for (const auto& entry : m_waiters)
            first = std::min(first, entry.second.deadline);
        if (first == Clock::time_point::max())
            m_changed.wait(lock);
        else
            m_changed.wait_until(lock, first);
        std::vector<std::function<void()>> due;
        const Clock::time_point now = Clock::now();
        for (auto it = m_waiters.begin(); it != m_waiters.end();) {
            if (it->second.deadline <= now) {
                due.push_back(std::move(it->second.answer));
                it = m_waiters.erase(it);
            } else {
                ++it;
            }
        }
        lock.unlock();
        for (const auto& answer : due)
            answer();
        lock.lock();
    }
}
