#include "engine/ScriptWatchdog.h"

#include <QJSEngine>

ScriptWatchdog::~ScriptWatchdog()
{
    if (!thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_one();
    thread.join();
}

void ScriptWatchdog::Start()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!thread.joinable())
        thread = std::thread(&ScriptWatchdog::Run, this);
}

void ScriptWatchdog::Arm(QJSEngine* engine, int limitMs)
{
    bool notify = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        armed = engine;
        interrupted = nullptr;
        deadline = Clock::now() + std::chrono::milliseconds(limitMs);
        // A thread that sleeps towards an earlier deadline wakes by itself
        // and then waits for this one; one that sleeps towards a later one
        // (of a check that has ended) must be told.
        notify = idle || deadline < sleepingUntil;
        if (!thread.joinable())
            thread = std::thread(&ScriptWatchdog::Run, this);
    }
    if (notify)
        wake.notify_one();
}

bool ScriptWatchdog::Disarm()
{
    QJSEngine* fired = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        armed = nullptr;
        fired = interrupted;
        interrupted = nullptr;
    }
    if (fired)
        fired->setInterrupted(false);
    return fired != nullptr;
}

bool ScriptWatchdog::Sleeping()
{
    std::lock_guard<std::mutex> lock(mutex);
    return sleepingUntil != Clock::time_point::max();
}

void ScriptWatchdog::Run()
{
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopping) {
        if (!armed) {
            idle = true;
            wake.wait(lock);
            idle = false;
            continue;
        }
        if (Clock::now() < deadline) {
            sleepingUntil = deadline;
            wake.wait_until(lock, sleepingUntil);
            sleepingUntil = Clock::time_point::max();
            continue;
        }
        // Under the lock, so Disarm cannot return while the engine is touched.
        armed->setInterrupted(true);
        interrupted = armed;
        armed = nullptr;
    }
}
