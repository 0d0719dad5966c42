#include "local/LocalDispatcher.h"

#include "engine/ATWorkerMng.h"
#include "base/ComponentMap.h"
#include "local/CaseVerdict.h"
#include "local/RecordJson.h"
#include "platform/Debugger.h"
#include "storage/LocalModel.h"

#include <QDateTime>
#include <QJsonArray>

#include <utility>

namespace {

ATWorkerMng* workerManager(ComponentMap* components)
{
    return components ? components->Get<ATWorkerMng>("ATWorkerMng") : nullptr;
}

LocalModel* localModel(ComponentMap* components)
{
    return components ? components->Get<LocalModel>("LocalModel") : nullptr;
}

} // namespace

void LocalDispatcher::BuildJobRequest(const LocalJobContext& context, QJsonObject& out)
{
    out.insert(QStringLiteral("url"), context.url);
    out.insert(QStringLiteral("jobid"), context.job.id);
    out.insert(QStringLiteral("planid"), context.plan.id);
    out.insert(QStringLiteral("content"), context.plan.content);
    QJsonArray cases;
    for (const DBT_JobDetail& detail : context.details) {
        QJsonObject tc;
        if (detail.testcase)
            TestcaseToJson(*detail.testcase, tc);
        cases.append(tc);
    }
    out.insert(QStringLiteral("case_list"), cases);
}

void LocalDispatcher::StartJob(const LocalJobContext& context)
{
    QJsonObject request;
    BuildJobRequest(context, request);
    ATWorkerMng* manager = workerManager(components);
    // Listed before the worker starts: it may report before NewJob returns.
    jobs.append(context);
    const int jobId = context.job.id;
    if (!manager) {
        ExecResult(jobId, QJsonObject());
        return;
    }
    // Progress is followed even when no client asked, so that "my_jobs" shows
    // how far a running job has got.
    manager->NewJob(
        request, [this, jobId](const QJsonObject& report) { ExecResult(jobId, report); },
        [this, jobId](const QJsonObject& event) { OnProgress(jobId, event); });
}

void LocalDispatcher::Follow(int jobId, const EventCallback& events)
{
    LocalJobContext* context = FindJob(jobId);
    if (!context)
        return;
    context->events = events;
    // A job that found its device busy said so while it was being started,
    // before anyone followed it.
    if (!context->waiting.isEmpty() && events)
        events(std::exchange(context->waiting, QJsonObject()));
}

void LocalDispatcher::OnProgress(int jobId, const QJsonObject& event)
{
    LocalJobContext* context = FindJob(jobId);
    if (!context)
        return;
    if (event.value(QStringLiteral("EVENT")) == QLatin1String("JobProgress")) {
        const int done = event.value(QStringLiteral("done")).toInt();
        context->job.finishCnt = done;
        // Each verdict is kept as it comes, so that a host that stops
        // midway still has the cases that finished.
        LocalModel* model = localModel(components);
        QJsonObject entry = event.value(QStringLiteral("tc")).toObject();
        entry.insert(QStringLiteral("verdict"), event.value(QStringLiteral("verdict")));
        bool running = false;
        if (model && done >= 1
            && !model->RecordProgress(jobId, done - 1, {CaseVerdict::OfEntry(entry)}, LocalModel::Progress(), running))
            KIV_LOG("LocalDispatcher", "LocalDispatcher::OnProgress", 1) << "Progress of job " << jobId
                                                                         << " not stored: " << model->LastErrorText();
    }
    if (context->events)
        context->events(event);
    else if (event.value(QStringLiteral("EVENT")) == QLatin1String("JobWaiting"))
        context->waiting = event;
}

void LocalDispatcher::ExecResult(int jobId, const QJsonObject& report)
{
    LocalJobContext* context = FindJob(jobId);
    if (!context) {
        // A worker can report once more while it is torn down; the first
        // report was recorded already.
        KIV_LOG("LocalDispatcher", "LocalDispatcher::ExecResult", 1) << "Report for job " << jobId
                                                                     << " that is not running, ignored";
        return;
    }
    // Taken before the context may go: the report follows the recording, so
    // that a client asking for the job's details on it finds them.
    const auto events = context->events;
    QJsonObject finished;
    if (events) {
        QJsonObject value = report.value(QStringLiteral("VALUE")).toObject();
        const QJsonArray tcs = value.value(QStringLiteral("tcs")).toArray();
        QJsonArray titled;
        for (int i = 0; i < tcs.size(); ++i) {
            QJsonObject entry = tcs.at(i).toObject();
            if (i < context->details.size() && context->details.at(i).testcase)
                entry.insert(QStringLiteral("title"), context->details.at(i).testcase->title);
            titled.append(entry);
        }
        value.insert(QStringLiteral("tcs"), titled);
        finished = {{QStringLiteral("EVENT"), QStringLiteral("JobReport")},
                    {QStringLiteral("jobid"), jobId},
                    {QStringLiteral("VALUE"), value}};
    }
    bool recorded = false;
    LocalModel* model = localModel(components);
    QString error;
    if (!model)
        KIV_LOG("LocalDispatcher", "LocalDispatcher::ExecResult", 0) << " Fail to save job " << "no database";
    else if (!(recorded = RecordReport(model, context->job, report, false, error)))
        KIV_LOG("LocalDispatcher", "LocalDispatcher::ExecResult", 0) << error;
    // A job that is no longer running (finished meanwhile by another host on
    // the same database) is not listed as running here either.
    DBT_Job stored;
    stored.id = jobId;
    if (recorded || (model && model->GetJob(stored) && stored.status != 2))
        RemoveJob(jobId);
    if (events) {
        finished.insert(QStringLiteral("recorded"), recorded);
        events(finished);
    }
}

bool LocalDispatcher::RecordReport(LocalModel* model, DBT_Job& job, const QJsonObject& report, bool takeLate, QString& error)
{
    const QJsonObject value = report.value(QStringLiteral("VALUE")).toObject();
    const QJsonArray tcs = value.value(QStringLiteral("tcs")).toArray();
    // A report without cases failed as a whole before any case ran.
    const bool whole = value.isEmpty() || tcs.isEmpty();
    job.eTime = QDateTime::currentDateTime();
    job.status = 3;
    job.finishCnt = whole ? 0 : tcs.size();
    job.verdict = JobVerdict::OfReport(value);

    // The job and its details in one transaction: a failed save leaves the
    // job as it was stored at its start, not half recorded. Only a job still
    // running is finished, so two reports of one job cannot both count.
    const auto abandon = [model, &error](const QString& what) {
        error = what + model->LastErrorText();
        model->RollbackTransaction();
        return false;
    };
    bool running = false;
    if (!model->BeginTransaction() || !model->FinishJob(job, takeLate, running))
        return abandon(QStringLiteral(" Fail to save job "));
    if (!running) {
        model->RollbackTransaction();
        error = QStringLiteral("job %1 was reported already").arg(job.id);
        return false;
    }
    // Entries belong to the job's own list by their place in it; a case
    // deleted meanwhile has lost its detail, and its entry goes nowhere. A job
    // started before the list was kept with it has no details yet: its
    // entries name their cases.
    const bool listKept = !job.caseIds.isEmpty();
    for (int seq = 0; seq < (listKept ? job.totalCnt : int(tcs.size())); ++seq) {
        DBT_JobDetail detail;
        detail.jobId = job.id;
        detail.seqIdx = seq;
        detail.status = QStringLiteral("fail");
        if (whole) {
            detail.content = QStringLiteral("job fail");
            detail.verdict = CaseVerdict::Of(QStringLiteral("not run"));
        } else if (seq < tcs.size()) {
            const QJsonObject entry = tcs.at(seq).toObject();
            if (entry.value(QStringLiteral("result")).toBool(false))
                detail.status = QStringLiteral("pass");
            detail.content = entry.value(QStringLiteral("remark")).toString();
            detail.verdict = CaseVerdict::OfEntry(entry);
        } else {
            detail.content = QStringLiteral("not run");
            detail.verdict = CaseVerdict::Of(QStringLiteral("not run"));
        }
        if (!listKept)
            detail.tcId = tcs.at(seq).toObject().value(QStringLiteral("id")).toInt();
        if (!(listKept ? model->UpdateJobDetail(detail) : model->AddJobDetailOfCase(detail)))
            return abandon(QStringLiteral(" Fail to save jobDetail "));
    }
    if (!model->CommitTransaction())
        return abandon(QStringLiteral(" Fail to save job "));
    return true;
}

void LocalDispatcher::StartJob(const LocalJobContext& context, QJsonObject&)
{
    StartJob(context);
}

bool LocalDispatcher::RunningJobs(QList<DBT_Job>& out, QString&)
{
    const ATWorkerMng* manager = workerManager(components);
    for (const LocalJobContext& context : jobs) {
        out.append(context.job);
        out.last().waiting = manager && manager->Waiting(context.job.id);
    }
    return true;
}

LocalJobContext* LocalDispatcher::FindJob(int jobId)
{
    for (LocalJobContext& context : jobs) {
        if (context.job.id == jobId)
            return &context;
    }
    return nullptr;
}

void LocalDispatcher::RemoveJob(int jobId)
{
    for (int i = 0; i < jobs.size(); ++i) {
        if (jobs.at(i).job.id == jobId) {
            jobs.removeAt(i);
            return;
        }
    }
}
