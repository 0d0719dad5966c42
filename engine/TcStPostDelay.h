#pragma once

#include "engine/TcStrategy.h"

// Pause after the device has answered, before the next test case starts.
class TcStPostDelay : public TcStrategy
{
public:
    explicit TcStPostDelay(int milliseconds) : time(milliseconds) {}
    TcExecutor* Apply(TcExecutor* executor) override;

    int time = 0;
};
