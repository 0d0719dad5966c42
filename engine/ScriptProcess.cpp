#include "engine/ScriptProcess.h"

#include "engine/Verifier.h"
#include "platform/Debugger.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <dlfcn.h>
#include <limits>

namespace {

void anchor() {}

int clampMs(qint64 ms)
{
    return int(qBound<qint64>(0, ms, std::numeric_limits<int>::max()));
}

} // namespace

ScriptProcess::ScriptProcess()
{
    // The engine's log lines (a script's exception, its time limit) join the host's.
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    connect(&process, &QProcess::readyReadStandardOutput, this, &ScriptProcess::OnOutput);
    connect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this, &ScriptProcess::OnFinished);
    connect(&process, &QProcess::errorOccurred, this, &ScriptProcess::OnError);
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, this, &ScriptProcess::OnDeadline);
}

ScriptProcess::~ScriptProcess()
{
    Stop();
}

QString ScriptProcess::ProgramPath()
{
    // Beside the library that holds this code: a host program may live
    // anywhere, and tests run copies of the host from directories of their own.
    static const QString path = [] {
        const QString name = QStringLiteral("/autotest-script");
        Dl_info info = {};
        if (::dladdr(reinterpret_cast<void*>(&anchor), &info) && info.dli_fname && *info.dli_fname) {
            const QString beside = QFileInfo(QString::fromLocal8Bit(info.dli_fname)).canonicalPath() + name;
            if (QFileInfo(beside).isExecutable())
                return beside;
        }
        return QCoreApplication::applicationDirPath() + name;
    }();
    return path;
}

QString ScriptProcess::MemoryRemark(int mib)
{
    return QStringLiteral("Script used more than %1 MiB").arg(mib);
}

bool ScriptProcess::Launch()
{
    const QString program = ProgramPath();
    if (!QFileInfo(program).isExecutable())
        return false;
    budgetBinds = false;
    process.start(program, {QStringLiteral("--check-ms"), QString::number(limits.checkMs),
                            QStringLiteral("--budget-ms"), QString::number(limits.budgetMs),
                            QStringLiteral("--spent-ms"), QString::number(spentMs),
                            QStringLiteral("--memory-mib"), QString::number(limits.memoryMiB)});
    if (!observations || observations->isEmpty())
        return true;
    // Every value filed so far, in one write: a burst the device pushed
    // before the first check, or all of them again after a process ended.
    QByteArray frames;
    ScriptProtocol::Observation observation;
    for (auto module = observations->constBegin(); module != observations->constEnd(); ++module) {
        observation.module = module.key();
        const QJsonObject groups = module.value().toObject();
        for (auto group = groups.constBegin(); group != groups.constEnd(); ++group) {
            observation.group = group.key();
            const QJsonObject items = group.value().toObject();
            for (auto item = items.constBegin(); item != items.constEnd(); ++item) {
                observation.item = item.key();
                for (const QJsonValue& value : item.value().toArray()) {
                    observation.value = value;
                    ScriptProtocol::AppendFrame(frames, ScriptProtocol::EncodeObservation(observation));
                }
            }
        }
    }
    Write(frames);
    return true;
}

void ScriptProcess::Write(const QByteArray& frames)
{
    process.write(frames);
}

void ScriptProcess::Observe(const QString& module, const QString& group, const QString& item, const QJsonValue& value)
{
    // A process that is not running gets this value with the others when it starts.
    if (!Running())
        return;
    QByteArray frame;
    ScriptProtocol::AppendFrame(frame, ScriptProtocol::EncodeObservation({module, group, item, value}));
    Write(frame);
}

void ScriptProcess::Check(const QJsonObject& local, const QString& script, const Done& done)
{
    Pending check;
    check.seq = ++nextSeq;
    check.done = done;
    check.clock.start();
    ScriptProtocol::AppendFrame(check.frame, ScriptProtocol::EncodeCheck(
        {check.seq, QString::fromUtf8(QJsonDocument(local).toJson(QJsonDocument::Compact)), script}));
    Enqueue(check);
}

void ScriptProcess::Compile(const QString& script, const Done& done)
{
    Pending check;
    check.seq = ++nextSeq;
    check.done = done;
    check.clock.start();
    ScriptProtocol::AppendFrame(check.frame, ScriptProtocol::EncodeCompile({check.seq, script}));
    Enqueue(check);
}

void ScriptProcess::Enqueue(const Pending& check)
{
    pending.append(check);
    if (!Running() && !Launch()) {
        const quint64 now = generation;
        // Not inside the caller's own call: `done` always comes later.
        QTimer::singleShot(0, this, [this, now] {
            if (generation == now)
                FailAll(QStringLiteral("Script Exception: no script engine at ") + ProgramPath());
        });
        return;
    }
    Write(check.frame);
    if (pending.size() == 1)
        ArmDeadline();
}

void ScriptProcess::ArmDeadline()
{
    // The process bounds the script itself; this only catches a process that
    // cannot, with the budget as the process will see it.
    qint64 limit = limits.checkMs;
    budgetBinds = false;
    if (limits.budgetMs > 0 && (limit <= 0 || limits.budgetMs - spentMs < limit)) {
        limit = qMax<qint64>(limits.budgetMs - spentMs, 0);
        budgetBinds = true;
    }
    if (limit > 0 || budgetBinds)
        deadline.start(clampMs(limit + GraceMs));
    else
        deadline.stop();
}

void ScriptProcess::Stop()
{
    pending.clear();
    deadline.stop();
    output.clear();
    ++generation;
    if (Running()) {
        process.kill();
        // SIGKILL: the process is gone within moments, whatever its script does.
        process.waitForFinished(5000);
    }
}

void ScriptProcess::OnOutput()
{
    const quint64 now = generation;
    output.append(process.readAllStandardOutput());
    int offset = 0;
    QByteArray payload;
    bool broken = false;
    while (ScriptProtocol::TakeFrame(output, offset, payload, broken)) {
        ScriptProtocol::Verdict verdict;
        if (!ScriptProtocol::Decode(payload, verdict) || pending.isEmpty() || verdict.seq != pending.first().seq) {
            broken = true;
            break;
        }
        // Out of the buffer before the callback, which may start the next
        // check and read its answer in there.
        output.remove(0, offset);
        offset = 0;
        const Pending check = pending.takeFirst();
        spentMs += verdict.ms;
        if (pending.isEmpty())
            deadline.stop();
        else
            ArmDeadline();
        check.done(verdict);
        // The job may have ended in there, and this process with it.
        if (generation != now)
            return;
    }
    if (broken) {
        KIV_LOG("AT Verifier", "ScriptProcess::OnOutput", 0) << "Unreadable answer from the script engine";
        Fail(QStringLiteral("Script Exception: unreadable answer from the script engine"));
        return;
    }
    output.remove(0, offset);
}

void ScriptProcess::OnFinished(int exitCode, QProcess::ExitStatus status)
{
    if (pending.isEmpty())
        return;
    if (status == QProcess::NormalExit && exitCode == ScriptProtocol::OutOfMemoryExit) {
        KIV_LOG("AT Verifier", "ScriptProcess::OnFinished", 1) << MemoryRemark(limits.memoryMiB);
        Fail(MemoryRemark(limits.memoryMiB));
        return;
    }
    const QString how = status == QProcess::CrashExit ? QStringLiteral("crashed")
                                                      : QStringLiteral("exited with status %1").arg(exitCode);
    KIV_LOG("AT Verifier", "ScriptProcess::OnFinished", 0) << "The script engine " << how;
    Fail(QStringLiteral("Script Exception: the script engine ") + how);
}

void ScriptProcess::OnError(QProcess::ProcessError error)
{
    if (error != QProcess::FailedToStart || pending.isEmpty())
        return;
    KIV_LOG("AT Verifier", "ScriptProcess::OnError", 0) << "Can't start " << ProgramPath() << ": " << process.errorString();
    FailAll(QStringLiteral("Script Exception: the script engine did not start: ") + process.errorString());
}

void ScriptProcess::OnDeadline()
{
    if (pending.isEmpty())
        return;
    const QString remark = budgetBinds ? Verifier::BudgetRemark(limits.budgetMs) : Verifier::TimeLimitRemark(limits.checkMs);
    KIV_LOG("AT Verifier", "ScriptProcess::OnDeadline", 1) << remark << " (the engine did not stop; killed)";
    Fail(remark);
}

void ScriptProcess::Fail(const QString& remark)
{
    if (pending.isEmpty())
        return;
    QList<Pending> queued = pending;
    const Pending failed = queued.takeFirst();
    Stop();
    // The checks written behind the one at fault never ran: a fresh process
    // (with the observations replayed) judges them, before `done` below can
    // end the job, which stops that process again.
    if (!queued.isEmpty()) {
        pending = queued;
        if (Launch()) {
            QByteArray frames;
            for (const Pending& check : qAsConst(queued))
                frames += check.frame;
            Write(frames);
            ArmDeadline();
        } else {
            pending.clear();
            queued.prepend(failed);
            pending = queued;
            FailAll(QStringLiteral("Script Exception: no script engine at ") + ProgramPath());
            return;
        }
    }
    Refuse(failed, remark);
}

void ScriptProcess::FailAll(const QString& remark)
{
    const QList<Pending> failed = pending;
    // Stop forgets them; `remark` is what they get instead of a verdict.
    Stop();
    for (const Pending& check : failed)
        Refuse(check, remark);
}

void ScriptProcess::Refuse(const Pending& check, const QString& remark)
{
    ScriptProtocol::Verdict verdict;
    verdict.seq = check.seq;
    verdict.remark = remark;
    verdict.ms = clampMs(check.clock.elapsed());
    spentMs += verdict.ms;
    check.done(verdict);
}
