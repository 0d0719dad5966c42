#pragma once

#include "local/JobRunner.h"
#include "local/LocalJobContext.h"

#include <QJsonObject>
#include <QList>

class ComponentMap;
class LocalModel;

// Keeps the local jobs that are running and records each one's results in
// the database when its worker reports.
class LocalDispatcher : public JobRunner
{
public:
    void SetComponentMap(ComponentMap* map) { components = map; }
    void StartJob(const LocalJobContext& context);
    void StartJob(const LocalJobContext& context, QJsonObject& reply) override;
    bool RunningJobs(QList<DBT_Job>& out, QString& error) override;
    void ExecResult(int jobId, const QJsonObject& report);
    // Sends `events` every "JobProgress" of a running job, then a "JobReport"
    // once its results are recorded.
    void Follow(int jobId, const EventCallback& events);
    LocalJobContext* FindJob(int jobId);
    void RemoveJob(int jobId);
    const QList<LocalJobContext>& Jobs() const { return jobs; }

    static void BuildJobRequest(const LocalJobContext& context, QJsonObject& out);
    // Turns a worker's report into the job's end, its verdict and the
    // verdict of each case of its list, stored in one transaction. False,
    // with nothing stored, when that fails or the job is no longer running
    // (`error` says which); `takeLate` as LocalModel::FinishJob.
    static bool RecordReport(LocalModel* model, DBT_Job& job, const QJsonObject& report, bool takeLate, QString& error);

private:
    void OnProgress(int jobId, const QJsonObject& event);

    ComponentMap* components = nullptr;
    QList<LocalJobContext> jobs;
};
