#pragma once

#include "base/ReplyCallback.h"
#include "local/DBT_Job.h"
#include "local/DBT_JobDetail.h"
#include "local/DBT_Plan.h"
#include "local/DBT_Testcase.h"

#include <QJsonObject>
#include <QList>
#include <QString>

// A local job while it runs: what started it and one detail per test case.
struct LocalJobContext
{
    LocalJobContext() = default;
    // One "running" detail per test case, in list order.
    LocalJobContext(const QString& url, const DBT_Job& job, const DBT_Plan& plan, const QList<DBT_Testcase>& testcases);

    QString url;
    DBT_Job job;
    DBT_Plan plan;
    QList<DBT_JobDetail> details;
    // The client that follows the job's progress, if one asked, and the
    // "JobWaiting" event for it when the job waited before it was followed.
    EventCallback events;
    QJsonObject waiting;
};
