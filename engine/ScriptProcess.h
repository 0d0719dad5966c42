#pragma once

#include "engine/ScriptProtocol.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QTimer>

#include <functional>

class QJsonObject;

// One job's verification scripts, run off the event loop by a script engine
// process of their own (autotest-script, found beside this library). The
// process keeps the job's global scope and observations from check to check;
// its verdicts come back on the event loop, one per check, in order.
//
// The process bounds what a script may take: its time (the process's own
// watchdog interrupts it; a process that does not heed the interrupt is
// killed), the job's time in all, and its memory (an address-space limit; a
// script past it ends the process, its check fails with MemoryRemark, and the
// next check gets a fresh process with the observations replayed, but not
// the global variables of earlier checks).
class ScriptProcess : public QObject
{
    Q_OBJECT

public:
    struct Limits
    {
        int checkMs = 0;   // one check (0: none)
        int budgetMs = 0;  // all checks of the job together (0: none)
        int memoryMiB = 0; // what the scripts may add to the idle engine (0: none)
    };
    using Done = std::function<void(const ScriptProtocol::Verdict&)>;

    ScriptProcess();
    ~ScriptProcess() override;
    ScriptProcess(const ScriptProcess&) = delete;
    ScriptProcess& operator=(const ScriptProcess&) = delete;

    // Apply from the next process on.
    void SetLimits(const Limits& value) { limits = value; }
    // The job's observations, filed by module, group and item; replayed into
    // every process this starts. Observe must follow each value filed there.
    void SetObservations(const QJsonObject* filed) { observations = filed; }
    void Observe(const QString& module, const QString& group, const QString& item, const QJsonValue& value);

    // Judges `script` with `local` and the observations. `done` is called on
    // a later turn of the event loop, unless Stop comes first. Checks queue
    // in the process and are judged in order.
    void Check(const QJsonObject& local, const QString& script, const Done& done);
    // Compiles `script` without running it (see ScriptProtocol::Compile);
    // answered like a check, in turn with the checks, under the same limits.
    void Compile(const QString& script, const Done& done);
    // Ends the process at once, a running script with it, and forgets the
    // checks it had; no `done` of theirs is called. The next Check starts anew.
    void Stop();
    bool Running() const { return process.state() != QProcess::NotRunning; }
    // Script time used by the job's checks so far.
    qint64 SpentMs() const { return spentMs; }

    static QString ProgramPath();
    static QString MemoryRemark(int mib);
    // How long past its limit a script may hold its process before the
    // process is killed: only native code that never looks at the interrupt
    // flag (a regular expression that backtracks for ever) needs it.
    static constexpr int GraceMs = 2000;

private:
    struct Pending
    {
        quint32 seq = 0;
        Done done;
        QElapsedTimer clock;
        // As written, to be written again to a fresh process.
        QByteArray frame;
    };

    bool Launch();
    // Sends `check` to the process, starting one when none runs.
    void Enqueue(const Pending& check);
    void Write(const QByteArray& frames);
    void ArmDeadline();
    void OnOutput();
    void OnFinished(int exitCode, QProcess::ExitStatus status);
    void OnError(QProcess::ProcessError error);
    void OnDeadline();
    // Kills the process and fails the check it was judging with `remark`;
    // the checks queued behind it go to a fresh process.
    void Fail(const QString& remark);
    // Fails every pending check with `remark`.
    void FailAll(const QString& remark);
    // Answers `check` with `remark` in place of a verdict.
    void Refuse(const Pending& check, const QString& remark);

    QProcess process;
    QTimer deadline;
    QByteArray output;
    QList<Pending> pending;
    Limits limits;
    const QJsonObject* observations = nullptr;
    qint64 spentMs = 0;
    quint32 nextSeq = 0;
    // Bumped whenever the process stops, so that a callback that stopped it
    // ends the reading of its output.
    quint64 generation = 0;
    // Whether the running check is bound by the job's budget rather than its own limit.
    bool budgetBinds = false;
};
