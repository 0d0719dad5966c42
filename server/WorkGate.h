#pragma once

#include <condition_variable>
#include <mutex>

// Lets at most a given number of threads through at once; the others wait
// (in no promised order). Many connections can stay open (each
// holds a server thread) while only a few of them work the database at a
// time: on a machine of few cores, dozens of database sessions running
// together mostly wait for each other and make every answer slow.
class WorkGate
{
public:
    explicit WorkGate(int width) : m_width(width < 1 ? 1 : width) {}

    void Enter();
    void Leave();

private:
    std::mutex m_mutex;
    std::condition_variable m_turn;
    int m_width;
    int m_inside = 0;
};
