#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

class QJSEngine;

// Interrupts a verification script that runs past its time limit. A script
// that loops holds its thread, so no timer of that thread can fire; the only
// way out is QJSEngine::setInterrupted from another thread. This is that
// thread, and setInterrupted is all it ever calls.
//
// A script engine process runs one job's scripts one at a time, so one slot
// is enough: Arm before a script runs, Disarm after it. The thread starts on the first Arm
// and is woken only when it has nothing armed, so a check costs two
// uncontended lock round trips and no system call in the common case.
class ScriptWatchdog
{
public:
    ScriptWatchdog() = default;
    ~ScriptWatchdog();
    ScriptWatchdog(const ScriptWatchdog&) = delete;
    ScriptWatchdog& operator=(const ScriptWatchdog&) = delete;

    // Starts the thread now rather than at the first Arm, so that its stack
    // is in place before the process bounds its memory.
    void Start();
    // Interrupts `engine` unless Disarm comes within `limitMs`.
    void Arm(QJSEngine* engine, int limitMs);
    // True when the limit was reached; the engine's interrupt flag is then
    // cleared again, so the engine is ready for the next script. After
    // Disarm returns the thread no longer touches the engine.
    bool Disarm();
    // Whether the thread waits towards a deadline (for tests).
    bool Sleeping();

private:
    using Clock = std::chrono::steady_clock;
    void Run();

    std::mutex mutex;
    std::condition_variable wake;
    std::thread thread;
    QJSEngine* armed = nullptr;
    QJSEngine* interrupted = nullptr;
    Clock::time_point deadline;
    // The deadline the thread sleeps towards; max while it does not.
    Clock::time_point sleepingUntil = Clock::time_point::max();
    bool idle = false;
    bool stopping = false;
};
