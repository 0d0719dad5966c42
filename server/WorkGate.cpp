#include "server/WorkGate.h"

void WorkGate::Enter()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    // Waking one waiter per place freed, not all of them: with dozens waiting
    // on two cores, waking all costs more than the work they wait for.
    m_turn.wait(lock, [this] { return m_inside < m_width; });
    ++m_inside;
}

void WorkGate::Leave()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        --m_inside;
    }
    m_turn.notify_one();
}
