#include "engine/JobResult.h"

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
