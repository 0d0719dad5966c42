#include "engine/JobLimits.h"

#include "front/KIVAutoTestConfig.h"

#include <algorithm>

namespace {

int scriptTimeoutMs = JobLimits::DefaultScriptTimeoutMs;
int deviceTimeoutMs = 0;
int jobScriptBudgetMs = JobLimits::DefaultJobScriptBudgetMs;
int scriptMemoryMiB = JobLimits::DefaultScriptMemoryMiB;

} // namespace

namespace JobLimits {

int ScriptTimeoutMs()
{
    return scriptTimeoutMs;
}

void SetScriptTimeoutMs(int ms)
{
    scriptTimeoutMs = std::max(ms, 0);
}

int DeviceTimeoutMs()
{
    return deviceTimeoutMs;
}

void SetDeviceTimeoutMs(int ms)
{
    deviceTimeoutMs = std::max(ms, 0);
}

int JobScriptBudgetMs()
{
    return jobScriptBudgetMs;
}

void SetJobScriptBudgetMs(int ms)
{
    jobScriptBudgetMs = std::max(ms, 0);
}

int ScriptMemoryMiB()
{
    return scriptMemoryMiB;
}

void SetScriptMemoryMiB(int mib)
{
    scriptMemoryMiB = std::max(mib, 0);
}

} // namespace JobLimits

void KIVAutoTestSetScriptTimeout(int ms)
{
    JobLimits::SetScriptTimeoutMs(ms);
}

void KIVAutoTestSetDeviceTimeout(int ms)
{
    JobLimits::SetDeviceTimeoutMs(ms);
}

void KIVAutoTestSetJobScriptBudget(int ms)
{
    JobLimits::SetJobScriptBudgetMs(ms);
}

void KIVAutoTestSetScriptMemory(int mib)
{
    JobLimits::SetScriptMemoryMiB(mib);
}
