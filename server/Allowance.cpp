#include "server/Allowance.h"

#include <chrono>

bool Allowance::Take(qint64 amount, qint64 ceiling)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (amount > qMin(ceiling, m_limit) - m_used)
        return false;
    m_used += amount;
    return true;
}

void Allowance::Force(qint64 amount)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_used += amount;
}

void Allowance::Give(qint64 amount)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_used -= amount;
    if (m_used == 0)
        m_empty.notify_all();
}

qint64 Allowance::InUse() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_used;
}

bool Allowance::WaitEmpty(int ms)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_empty.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_used == 0; });
}

Allowance::Share& Allowance::Share::operator=(Share&& other) noexcept
{
    if (this != &other) {
        Release();
        m_from = other.m_from;
        m_held = other.m_held;
        other.m_held = 0;
    }
    return *this;
}

bool Allowance::Share::Take(qint64 amount, qint64 ceiling)
{
    if (!m_from || !m_from->Take(amount, ceiling))
        return false;
    m_held += amount;
    return true;
}

void Allowance::Share::Force(qint64 amount)
{
    if (!m_from)
        return;
    m_from->Force(amount);
    m_held += amount;
}

void Allowance::Share::Release()
{
    if (m_from && m_held != 0)
        m_from->Give(m_held);
    m_held = 0;
}
