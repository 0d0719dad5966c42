#pragma once

#include <QtGlobal>

#include <condition_variable>
#include <mutex>

// A shared amount that many threads draw on: bytes of the server's memory
// budget, or connections. Take refuses what would pass the limit; Force
// counts what is held already (a reply the database has produced), so that
// later takers see it. A Share gives back whatever it holds when it dies, so
// a connection that ends in any way releases its part.
class Allowance
{
public:
    explicit Allowance(qint64 limit) : m_limit(limit) {}
    Allowance(const Allowance&) = delete;
    Allowance& operator=(const Allowance&) = delete;

    // False, taking nothing, when `amount` would pass the limit (or a
    // lower `ceiling`).
    bool Take(qint64 amount) { return Take(amount, m_limit); }
    bool Take(qint64 amount, qint64 ceiling);
    void Force(qint64 amount);
    void Give(qint64 amount);
    qint64 InUse() const;
    qint64 Limit() const { return m_limit; }
    // Waits until nothing is held, at most `ms`; false when time ran out.
    bool WaitEmpty(int ms);

    class Share
    {
    public:
        Share() = default;
        explicit Share(Allowance& from) : m_from(&from) {}
        ~Share() { Release(); }
        Share(Share&& other) noexcept : m_from(other.m_from), m_held(other.m_held) { other.m_held = 0; }
        Share& operator=(Share&& other) noexcept;
        Share(const Share&) = delete;
        Share& operator=(const Share&) = delete;

        bool Take(qint64 amount) { return Take(amount, m_from ? m_from->Limit() : 0); }
        bool Take(qint64 amount, qint64 ceiling);
        void Force(qint64 amount);
        void Release();
        qint64 Held() const { return m_held; }

    private:
        Allowance* m_from = nullptr;
        qint64 m_held = 0;
    };

private:
    const qint64 m_limit;
    mutable std::mutex m_mutex;
    std::condition_variable m_empty;
    qint64 m_used = 0;
};
