#pragma once

#include "front/KIVAutoTestConfig.h"

// Limits of the job engine, set once by the host before jobs run.
namespace JobLimits {

// A verification script that runs longer fails its check; 0 means no limit.
constexpr int DefaultScriptTimeoutMs = 5000;
int ScriptTimeoutMs();
void SetScriptTimeoutMs(int ms);

// All verification scripts of one job together; past it the job's remaining
// checks fail at once. 0 means no limit.
constexpr int DefaultJobScriptBudgetMs = KIVAutoTestDefaultJobScriptBudgetMs;
int JobScriptBudgetMs();
void SetJobScriptBudgetMs(int ms);

// Memory a job's scripts may use (see ScriptProcess); 0 means no bound.
constexpr int DefaultScriptMemoryMiB = KIVAutoTestDefaultScriptMemoryMiB;
int ScriptMemoryMiB();
void SetScriptMemoryMiB(int mib);

// A device or simulator request unanswered this long ends the job; 0, the
// default, waits for ever.
int DeviceTimeoutMs();
void SetDeviceTimeoutMs(int ms);

} // namespace JobLimits
