#pragma once

class TcExecutor;

// Adjusts how one test case runs; applied to the executor before it starts.
class TcStrategy
{
public:
    virtual ~TcStrategy() = default;
    virtual TcExecutor* Apply(TcExecutor* executor) = 0;
};
