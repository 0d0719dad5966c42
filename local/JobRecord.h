#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>

struct DBT_Job;
struct DBT_Testcase;
struct LocalJobContext;
class LocalModel;

// A job's record from its start to its report, with no engine involved: the
// host's own jobs and the jobs the server hands to stations go through here
// alike.
class JobRecord
{
public:
    // The request a job engine runs: the device, the plan and its test
    // cases as they were when the job started.
    static void BuildRequest(const LocalJobContext& context, QJsonObject& out);
    // The ids of `testcases` as the job's record keeps its case list: a
    // JSON array, in the order they run.
    static QString CaseIds(const QList<DBT_Testcase>& testcases);
    // Turns a job's report into its end, its verdict and the verdict of each
    // case of its list, stored in one transaction. False, with nothing
    // stored, when that fails or the job is no longer running (`error` says
    // which); `takeLate` as LocalModel::FinishJob.
    static bool RecordReport(LocalModel* model, DBT_Job& job, const QJsonObject& report, bool takeLate, QString& error);
};
