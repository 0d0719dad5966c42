#include "engine/TcStPostDelay.h"

#include "engine/TcExecutor.h"

TcExecutor* TcStPostDelay::Apply(TcExecutor* executor)
{
    executor->postDelay = time;
    return executor;
}
