#include "engine/TcExecutorPool.h"

#include "engine/TcExecutor.h"

TcExecutor* TcExecutorPool::Acquire()
{
    if (!free.isEmpty())
        return free.takeFirst();
    if (int(all.size()) >= capacity)
        return nullptr;
    auto* executor = new TcExecutor;
    all.insert(executor);
    return executor;
}

bool TcExecutorPool::Release(TcExecutor* executor)
{
    if (all.find(executor) == all.end())
        return false;
    if (onReset)
        onReset(executor);
    free.append(executor);
    if (onReleased)
        onReleased();
    return true;
}

void TcExecutorPool::Clear()
{
    for (TcExecutor* executor : all)
        delete executor;
    all.clear();
    free.clear();
}
