#include "engine/JobLimits.h"

#include "front/KIVAutoTestConfig.h"

#include <algorithm>

namespace {

int scriptTimeoutMs = JobLimits::DefaultScriptTimeoutMs;
int deviceTimeoutMs = 0;

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

} // namespace JobLimits

void KIVAutoTestSetScriptTimeout(int ms)
{
    JobLimits::SetScriptTimeoutMs(ms);
}

void KIVAutoTestSetDeviceTimeout(int ms)
{
    JobLimits::SetDeviceTimeoutMs(ms);
}
