#include "engine/JobExecutor.h"

#include "device/IdNameCov.h"
#include "engine/ScriptProcess.h"
#include "engine/TcExecutor.h"
#include "base/ComponentMap.h"
#include "platform/Debugger.h"

#include <QPointer>

JobExecutor::JobExecutor()
{
    // One case on the device, one more awaiting its verdict.
    pool.capacity = 2;
    pool.onReset = [](TcExecutor* executor) { executor->Reset(); };
}

JobExecutor::~JobExecutor() = default;

bool JobExecutor::Init(const QJsonObject& request, QString* error, int* failedCase)
{
    return job.Init(request, components->Get<IdNameCov>(IdNameCov::ComponentName()), error, failedCase);
}

void JobExecutor::Start()
{
    ++runs;
    jobResult.Init(job.jobId, job.planId);
    queue.clear();
    for (int i = 0; i < job.tcItems.size(); ++i)
        queue.append(i);
    Advance();
}

void JobExecutor::Reset()
{
    ++runs;
    disconnect(this, nullptr, nullptr, nullptr);
    job.Clear();
    queue.clear();
    jobResult.Clear();
    inFlight.clear();
    deviceBusy = false;
    halted = false;
    onSettled = nullptr;
    pool.Clear();
}

bool JobExecutor::JudgedCase(TcResult& out) const
{
    if (inFlight.isEmpty() || inFlight.first()->State() < 2)
        return false;
    out = inFlight.first()->Result();
    return true;
}

bool JobExecutor::Halt(std::function<void()> settled)
{
    halted = true;
    if (!VerdictAwaited())
        return false;
    onSettled = std::move(settled);
    return true;
}

bool JobExecutor::VerdictAwaited() const
{
    for (const TcExecutor* executor : inFlight) {
        if (executor->AwaitsVerdict())
            return true;
    }
    return false;
}

void JobExecutor::StartTc(int index)
{
    TcItem& item = job.tcItems[index];
    TcExecutor* executor = pool.Acquire();
    KIV_LOG("JobExecutor", "JobExecutor::StartTc", 3) << "StartTc: " << item.tcId << " | tcExec: "
                                                      << static_cast<void*>(executor);
    executor->SetComponentMap(components);
    executor->Init(&item);
    inFlight.append(executor);
    deviceBusy = true;
    connect(executor, &TcExecutor::Overed, this, &JobExecutor::TcOvered);
    connect(executor, &TcExecutor::DeviceFreed, this, &JobExecutor::OnDeviceFreed);
    executor->Start();
}

void JobExecutor::OnDeviceFreed()
{
    if (!inFlight.isEmpty() && sender() == inFlight.last())
        deviceBusy = false;
    Advance();
}

void JobExecutor::TcOvered(TcResult)
{
    if (!inFlight.isEmpty() && sender() == inFlight.last())
        deviceBusy = false;
    const quint64 run = runs;
    Drain();
    if (run == runs)
        Advance();
}

void JobExecutor::Drain()
{
    const quint64 run = runs;
    while (!inFlight.isEmpty() && inFlight.first()->State() >= 3) {
        TcExecutor* executor = inFlight.takeFirst();
        const TcResult res = executor->Result();
        jobResult.AddTc(res);
        KIV_LOG("JobExecutor", "JobExecutor::Drain", 3) << " TcOvered " << static_cast<void*>(executor);
        // Resets the executor for a later case.
        if (!pool.Release(executor))
            KIV_LOG("JobExecutor", "JobExecutor::Drain", 0) << "Return TcExecutor is invalid";
        Q_EMIT TcFinished(res, int(jobResult.tcs.size()), int(job.tcItems.size()));
        // Whoever follows the job may have ended it in there.
        if (run != runs)
            return;
    }
    if (onSettled && !VerdictAwaited()) {
        const std::function<void()> settled = std::move(onSettled);
        onSettled = nullptr;
        settled();
    }
}

void JobExecutor::Advance()
{
    if (halted || deviceBusy)
        return;
    if (!queue.isEmpty()) {
        if (inFlight.size() < pool.capacity)
            StartTc(queue.takeFirst());
    } else if (inFlight.isEmpty()) {
        LastStep();
    }
}

void JobExecutor::LastStep()
{
    KIV_LOG("JobExecutor", "JobExecutor::LastStep", 3) << " LastStep ";
    VerifyJob();
}

void JobExecutor::VerifyJob()
{
    if (job.script.isEmpty()) {
        jobResult.result = true;
        jobResult.remark = QStringLiteral("No Script to Exec");
        Q_EMIT Overed();
        return;
    }
    // The observations the worker's collector filed are the global parameters.
    auto* scripts = components->Get<ScriptProcess>("ScriptProcess");
    QPointer<JobExecutor> self(this);
    const quint64 run = runs;
    scripts->Check(QJsonObject(), job.script, [self, run](const ScriptProtocol::Verdict& verdict) {
        if (!self || self->runs != run)
            return;
        self->jobResult.result = verdict.result;
        self->jobResult.remark = verdict.remark;
        Q_EMIT self->Overed();
    });
}
