#pragma once

#include "local/JobRunner.h"
#include "local/LocalJobContext.h"

#include <QJsonObject>
#include <QList>

class ComponentMap;
class JobEngine;

// Keeps the local jobs that are running and records each one's results in
// the database when its engine reports.
class LocalDispatcher : public JobRunner
{
public:
    // Without an engine every job fails at its start.
    explicit LocalDispatcher(JobEngine* engine = nullptr) : engine(engine) {}
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

private:
    void OnProgress(int jobId, const QJsonObject& event);

    JobEngine* engine = nullptr;
    ComponentMap* components = nullptr;
    QList<LocalJobContext> jobs;
};
