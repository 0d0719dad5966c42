#include "engine/JobResult.h"

#include "local/JobVerdict.h"

#include <QJsonArray>

void JobResult::Init(int job, int plan)
{
    jobId = job;
    planId = plan;
    result = false;
    remark.clear();
    tcs.clear();
}

void JobResult::Clear()
{
    Init(0, 0);
}

QJsonObject JobResult::ToJsonWithVerdicts() const
{
    QJsonObject value = ToJson();
    QJsonArray results;
    for (const TcResult& tc : tcs) {
        QJsonObject entry = tc.ToJson();
        entry.insert(QStringLiteral("verdict"), tc.Verdict().ToJson());
        results.append(entry);
    }
    value.insert(QStringLiteral("tcs"), results);
    JobVerdict verdict;
    verdict.result = result ? JobVerdict::Passed : JobVerdict::Failed;
    verdict.remark = remark;
    value.insert(QStringLiteral("verdict"), verdict.ToJson());
    return value;
}

QJsonObject JobResult::ToJson() const
{
    QJsonArray results;
    for (const TcResult& tc : tcs)
        results.append(tc.ToJson());
    return {{QStringLiteral("jobid"), jobId},
            {QStringLiteral("planid"), planId},
            {QStringLiteral("result"), result},
            {QStringLiteral("remark"), remark},
            {QStringLiteral("tcs"), results}};
}
