#include "engine/JobExecutor.h"

#include "device/IdNameCov.h"
#include "engine/ScriptProcess.h"
#include "engine/TcExecutor.h"
#include "front/ComponentMap.h"
#include "platform/Debugger.h"

#include <QPointer>

JobExecutor::JobExecutor()
{
    pool.capacity = 1;
    pool.onReset = [](TcExecutor* executor) { executor->Reset(); };
    pool.onReleased = [this] { NextTc(); };
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
    if (queue.isEmpty())
        LastStep();
    else
        StartTc(queue.takeFirst());
}

void JobExecutor::Reset()
{
    ++runs;
    disconnect(this, nullptr, nullptr, nullptr);
    job.Clear();
    queue.clear();
    jobResult.Clear();
    pool.Clear();
    running = nullptr;
}

bool JobExecutor::JudgedCase(TcResult& out) const
{
    if (!running || running->State() < 2)
        return false;
    out = running->Result();
    return true;
}

void JobExecutor::StartTc(int index)
{
    TcItem& item = job.tcItems[index];
    TcExecutor* executor = pool.Acquire();
    KIV_LOG("JobExecutor", "JobExecutor::StartTc", 3) << "StartTc: " << item.tcId << " | tcExec: "
                                                      << static_cast<void*>(executor);
    executor->SetComponentMap(components);
    executor->Init(&item);
    running = executor;
    connect(executor, &TcExecutor::Overed, this, &JobExecutor::TcOvered);
    executor->Start();
}

void JobExecutor::TcOvered(TcResult res)
{
    running = nullptr;
    jobResult.AddTc(res);
    // Before the release below, which starts the next test case or ends the job.
    Q_EMIT TcFinished(res, int(jobResult.tcs.size()), int(job.tcItems.size()));
    auto* executor = qobject_cast<TcExecutor*>(sender());
    KIV_LOG("JobExecutor", "JobExecutor::TcOvered", 3) << " TcOvered " << static_cast<void*>(executor);
    // Releasing resets the executor and starts the next test case on it.
    if (!pool.Release(executor))
        KIV_LOG("JobExecutor", "JobExecutor::TcOvered", 0) << "Return TcExecutor is invalid";
}

void JobExecutor::NextTc()
{
    if (!queue.isEmpty())
        StartTc(queue.takeFirst());
    else
        LastStep();
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
