#include "engine/JobExecutor.h"

#include "device/IdNameCov.h"
#include "engine/TcExecutor.h"
#include "engine/Verifier.h"
#include "front/ComponentMap.h"
#include "platform/Debugger.h"

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
    Q_EMIT Overed();
}

void JobExecutor::VerifyJob()
{
    if (job.script.isEmpty()) {
        jobResult.result = true;
        jobResult.remark = QStringLiteral("No Script to Exec");
        return;
    }
    auto* verifier = components->Get<Verifier>("Verifier");
    // The observations the worker's collector filed are the global parameters.
    jobResult.result = verifier->CheckObserved(QJsonObject(), job.script, jobResult.remark);
}
