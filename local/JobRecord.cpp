#include "local/JobRecord.h"

#include "local/CaseVerdict.h"
#include "local/JobVerdict.h"
#include "local/LocalJobContext.h"
#include "local/RecordJson.h"
#include "storage/LocalModel.h"

#include <QDateTime>
#include <QJsonArray>

void JobRecord::BuildRequest(const LocalJobContext& context, QJsonObject& out)
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

QString JobRecord::CaseIds(const QList<DBT_Testcase>& testcases)
{
    QByteArray ids = "[";
    for (const DBT_Testcase& tc : testcases) {
        if (ids.size() > 1)
            ids += ',';
        ids += QByteArray::number(tc.id);
    }
    return QString::fromLatin1(ids + ']');
}

bool JobRecord::RecordReport(LocalModel* model, DBT_Job& job, const QJsonObject& report, bool takeLate, QString& error)
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
