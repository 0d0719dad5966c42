#pragma once

#include "local/JobRunner.h"

class ComponentMap;
class LocalModel;

// Jobs on the test-management server: "execute_job_local" stores the job and
// hands the whole job request back to the station in the reply's "job"; the
// station runs it and posts "job_report", which records it as the host's own
// dispatcher records a job it ran. The jobs still running are the stored
// ones with status 2: a job whose station never reports stays listed.
class ServerJobRunner : public JobRunner
{
public:
    void SetModel(LocalModel* model) { m_model = model; }

    void StartJob(const LocalJobContext& context, QJsonObject& reply) override;
    bool RunningJobs(QList<DBT_Job>& out, QString& error) override;

    // The "job_report" command: {"jobid": n, "report": the worker's report}.
    static void OnJobReport(ComponentMap* components, const QJsonObject& request, QJsonObject& reply);

private:
    LocalModel* m_model = nullptr;
};
