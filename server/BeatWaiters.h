#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

// What a request asks of the stations' held beats: the beat of `station`
// (a job of it ended or was cancelled), or the beat of a station with a free
// device that a newly queued job fits.
struct LabWake
{
    QString station;
    // A queued job: a device url (maybe on `queueStation`), or tags.
    QString device;
    QString queueStation;
    QStringList tags;
};

// Beats that found nothing to hand out and may wait (long-poll): each is
// held until a request makes work for its station, then given back to the
// database workers to try again, or answered as it was at its deadline.
// One beat per station is held; a newer one answers the older at once.
class BeatWaiters
{
public:
    using Clock = std::chrono::steady_clock;
    struct Device
    {
        QString url;
        QStringList tags;
    };
    struct Waiter
    {
        QString station;
        // The station's free devices, which queued jobs are matched to.
        QList<Device> free;
        Clock::time_point deadline;
        // Exactly one of them is called, once, and never under the lock.
        std::function<void()> answer;
        std::function<void()> retry;
    };

    BeatWaiters() = default;
    ~BeatWaiters();
    BeatWaiters(const BeatWaiters&) = delete;
    BeatWaiters& operator=(const BeatWaiters&) = delete;

    void Start();
    // Answers every held beat, and from then on answers at once.
    void Stop();

    // Where the wakes stand: a beat notes it before it looks for work, and
    // Hold then sees the wakes it missed while it looked.
    quint64 Generation();
    // Holds `waiter`, or tries it again at once when a wake since `since`
    // concerns it.
    void Hold(Waiter waiter, quint64 since);
    // Answers the held beat of `station`, if any: the station sent another.
    void Release(const QString& station);
    // Tries again the beat that `wake` concerns: the station's own, or the
    // one held longest with a free device the queued job fits.
    void Wake(const LabWake& wake);

    // Whether `tags` (all of them) and the device, station pinning included,
    // fit `device` of `station`.
    static bool Fits(const LabWake& job, const QString& station, const Device& device);

private:
    void Run();
    bool Concerns(const LabWake& wake, const Waiter& waiter) const;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    // Keyed by arrival, so that the first fitting waiter is the oldest.
    std::map<quint64, Waiter> m_waiters;
    quint64 m_next = 1;
    // The latest wakes, the last one numbered m_generation.
    static constexpr std::size_t RecentWakes = 4096;
    std::deque<LabWake> m_recent;
    quint64 m_generation = 0;
    bool m_stopping = true;
    std::thread m_thread;
};
