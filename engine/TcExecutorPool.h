#pragma once

#include <QList>

#include <functional>
#include <set>

class TcExecutor;

// Hands out test-case executors and takes them back, resetting each on its
// return. Owns every executor it created.
class TcExecutorPool
{
public:
    TcExecutorPool() = default;
    ~TcExecutorPool() { Clear(); }
    TcExecutorPool(const TcExecutorPool&) = delete;
    TcExecutorPool& operator=(const TcExecutorPool&) = delete;

    // Null when every executor the capacity allows is in use.
    TcExecutor* Acquire();
    // False for an executor this pool did not create.
    bool Release(TcExecutor* executor);
    void Clear();
    int Created() const { return int(all.size()); }

    int capacity = 1;
    std::function<void(TcExecutor*)> onReset;
    std::function<void()> onReleased;

private:
    std::set<TcExecutor*> all;
    QList<TcExecutor*> free;
};
