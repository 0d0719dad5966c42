#pragma once

// Limits of the job engine. The service owns one and may change it at any
// time; a job takes the values as they are when it starts.
struct JobLimits
{
    // A verification script that runs longer fails its check; 0 means no limit.
    static constexpr int DefaultScriptTimeoutMs = 5000;
    int scriptTimeoutMs = DefaultScriptTimeoutMs;
    // All verification scripts of one job together; past it the job's
    // remaining checks fail at once. 0 means no limit.
    int jobScriptBudgetMs = 60000;
    // Memory a job's scripts may use (see ScriptProcess); 0 means no bound.
    int scriptMemoryMiB = 256;
    // A device or simulator request unanswered this long ends the job; 0
    // waits for ever.
    int deviceTimeoutMs = 0;
};
