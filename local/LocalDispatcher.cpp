#include "local/LocalDispatcher.h"

#include "base/ComponentMap.h"
#include "base/JobEngine.h"
#include "local/CaseVerdict.h"
#include "local/JobRecord.h"
#include "platform/Debugger.h"
#include "storage/LocalModel.h"

#include <QDateTime>
#include <QJsonArray>

#include <utility>

namespace {

LocalModel* localModel(ComponentMap* components)
{
    return components ? components->Get<LocalModel>("LocalModel") : nullptr;
}

} // namespace

void LocalDispatcher::StartJob(const LocalJobContext& context)
{
    QJsonObject request;
    JobRecord::BuildRequest(context, request);
    // Listed before the worker starts: it may report before NewJob returns.
    jobs.append(context);
    const int jobId = context.job.id;
    if (!engine) {
        ExecResult(jobId, QJsonObject());
        return;
    }
    // Progress is followed even when no client asked, so that "my_jobs" shows
    // how far a running job has got.
    engine->NewJob(
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
    else if (!(recorded = JobRecord::RecordReport(model, context->job, report, false, error)))
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

void LocalDispatcher::StartJob(const LocalJobContext& context, QJsonObject&)
{
    StartJob(context);
}

bool LocalDispatcher::RunningJobs(QList<DBT_Job>& out, QString&)
{
    for (const LocalJobContext& context : jobs) {
        out.append(context.job);
        out.last().waiting = engine && engine->Waiting(context.job.id);
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
