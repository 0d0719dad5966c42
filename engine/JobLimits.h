#pragma once

// Time limits of the job engine, set once by the host before jobs run.
namespace JobLimits {

// A verification script that runs longer fails its check; 0 means no limit.
constexpr int DefaultScriptTimeoutMs = 5000;
int ScriptTimeoutMs();
void SetScriptTimeoutMs(int ms);

// A device or simulator request unanswered this long ends the job; 0, the
// default, waits for ever.
int DeviceTimeoutMs();
void SetDeviceTimeoutMs(int ms);

} // namespace JobLimits
