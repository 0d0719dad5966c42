#pragma once

#include "front/KIVAutoTestGlobal.h"

class QString;

// Version of the loaded service library, for the host's start-up log.
KIVAUTOTEST_EXPORT const char* KIVAutoTestVersion();

// Replaces the two base URLs of the remote test-management API (for example
// "http://10.0.0.5:8080/api"). Call before the first remote request.
KIVAUTOTEST_EXPORT void KIVAutoTestSetRemoteHosts(const QString& first, const QString& second);

// Milliseconds a verification script may run before it is interrupted and its
// check fails (default 5000; 0 = no limit). Applies to jobs started afterwards.
KIVAUTOTEST_EXPORT void KIVAutoTestSetScriptTimeout(int ms);

// Milliseconds a device or simulator request may stay unanswered before its
// job ends (default 0 = wait for ever). Applies to jobs started afterwards.
KIVAUTOTEST_EXPORT void KIVAutoTestSetDeviceTimeout(int ms);
