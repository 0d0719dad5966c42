#pragma once

#include "front/KIVAutoTestGlobal.h"

class QString;

// Version of the loaded service library, for the host's start-up log.
KIVAUTOTEST_EXPORT const char* KIVAutoTestVersion();

// Replaces the two base URLs of the remote test-management API (for example
// "http://10.0.0.5:8080/api"). Call before the first remote request.
KIVAUTOTEST_EXPORT void KIVAutoTestSetRemoteHosts(const QString& first, const QString& second);

// Largest reply the service writes (default 64 MiB); a larger one is
// answered with a failure "result" that says so.
KIVAUTOTEST_EXPORT void KIVAutoTestSetMaxReplySize(qint64 bytes);
