#pragma once

#include "base/ReplyCallback.h"
#include "engine/JobLimits.h"
#include "engine/ScriptProcess.h"

#include <QJsonObject>

// Answers "check_script": compiles a verification script with the engine the
// jobs use, in a script engine process (autotest-script) under the jobs' time
// and memory limits, so that a script slow or large to compile never holds
// the host. Nothing of the script runs. One process serves every client in
// turn; it starts with the first check and stays for the next.
class ScriptCheck
{
public:
    // Longer scripts are refused unread: verification scripts are a few
    // kilobytes, and compiling megabytes would hold the shared process.
    static constexpr int MaxScriptChars = 1024 * 1024;

    // Reads `limits` at every check, so that changed limits apply.
    explicit ScriptCheck(const JobLimits& limits) : limits(limits) {}

    // Answers `done` once: at once for a request refused as it is, else on
    // a later turn of the event loop.
    void Check(const QJsonObject& request, const ReplyCallback& done);

private:
    const JobLimits& limits;
    ScriptProcess process;
};
