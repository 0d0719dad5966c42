#pragma once

#include "engine/ScriptWatchdog.h"
#include "engine/Verifier.h"

#include <QByteArray>
#include <QString>

// The script engine process's side of ScriptProcess: one job's verifier,
// fed with framed requests (ScriptProtocol) on one file descriptor and
// answering on another. Everything runs on the thread that calls Run; the
// watchdog only interrupts the engine.
class ScriptServer
{
public:
    // `checkMs` bounds each check, `budgetMs` all of them together, of which
    // `spentMs` were used before this process started (0: no bound).
    bool Init(int checkMs, int budgetMs, qint64 spentMs);
    // Serves requests until `in` ends (0) or fails or a frame is broken (1).
    int Run(int in, int out);

private:
    bool Serve(const QByteArray& payload, int out);
    static bool WriteAll(int fd, const QByteArray& bytes);

    // Declared before the verifier, so that it outlives the engine it arms.
    ScriptWatchdog watchdog;
    Verifier verifier;
};
