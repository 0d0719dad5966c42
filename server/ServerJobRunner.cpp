#include "server/ServerJobRunner.h"

#include "front/ComponentMap.h"
#include "local/LocalDispatcher.h"
#include "local/LocalJobContext.h"
#include "storage/LocalModel.h"

void ServerJobRunner::StartJob(const LocalJobContext& context, QJsonObject& reply)
{
    QJsonObject job;
    LocalDispatcher::BuildJobRequest(context, job);
    reply.insert(QStringLiteral("job"), job);
}

bool ServerJobRunner::RunningJobs(QList<DBT_Job>& out, QString& error)
{
    if (m_model->GetRunningJobs(out))
        return true;
    error = m_model->LastErrorText();
    return false;
}

void ServerJobRunner::OnJobReport(ComponentMap* components, const QJsonObject& request, QJsonObject& reply)
{
    const QString result = QStringLiteral("result");
    const QJsonValue report = request.value(QStringLiteral("report"));
    const QJsonValue jobId = request.value(QStringLiteral("jobid"));
    if (!jobId.isDouble() || !report.isObject()) {
        reply.insert(result, QStringLiteral("job_report needs \"jobid\" (a number) and \"report\" (the worker's report object)"));
        return;
    }
    LocalModel* model = components->Get<LocalModel>("LocalModel");
    DBT_Job job;
    job.id = jobId.toInt(0);
    if (!model->GetJob(job)) {
        const QString error = model->LastErrorText();
        reply.insert(result, error.isEmpty() ? QStringLiteral("job_report: there is no job %1").arg(jobId.toDouble()) : error);
        return;
    }
    if (job.status != 2) {
        reply.insert(result, QStringLiteral("job %1 was reported already").arg(job.id));
        return;
    }
    // The plan's list as it is now gives the details; a plan changed while
    // its job ran is recorded against its new list.
    DBT_Plan plan(job.planId);
    QList<DBT_Testcase> testcases;
    if (!model->GetPlan(plan) || !model->GetPlanTestcases(plan, testcases)) {
        reply.insert(result, model->LastErrorText());
        return;
    }
    LocalJobContext context(QString(), job, plan, testcases);
    QString error;
    if (!LocalDispatcher::RecordReport(model, context, report.toObject(), error)) {
        reply.insert(result, error.trimmed());
        return;
    }
    reply.insert(result, QStringLiteral("ok"));
}
