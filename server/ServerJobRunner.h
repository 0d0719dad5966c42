#pragma once

#include "local/JobRunner.h"

class ComponentMap;
class LocalModel;

// Jobs on the test-management server: "execute_job_local" stores the job
// with its case list and hands the whole job request back to the station in
// the reply's "job", with a secret of its own. The station runs it, posts
// "job_progress" while it runs and "job_report" at its end, each with the
// secret; the report is recorded as the host's own dispatcher records a job
// it ran. The jobs still running are the stored ones with status 2; one
// whose station stays silent for the lease is finished as "Station lost".
class ServerJobRunner : public JobRunner
{
public:
    static constexpr int DefaultLeaseMs = 10 * 60 * 1000;

    void SetModel(LocalModel* model) { m_model = model; }
    void SetLease(int ms) { m_leaseMs = ms; }
    void SetStationLease(int ms) { m_stationLeaseMs = ms; }

    void PrepareJob(DBT_Job& job) override;
    void StartJob(const LocalJobContext& context, QJsonObject& reply) override;
    bool RunningJobs(QList<DBT_Job>& out, QString& error) override;
    // Finishes the jobs whose station has been silent for the lease; false
    // with the reason when the database fails.
    bool ExpireJobs(QString& error);
    // Finishes the running jobs of the stations silent for the station
    // lease (none while it is 0, which shows stations offline at once).
    bool ExpireStations(QString& error);
    // "my_jobs" lists the queued jobs after the running ones, at most these.
    static constexpr int MaxQueued = 10000;

    // The "job_report" command: {"jobid", "secret", "report": the worker's report}.
    static void OnJobReport(ComponentMap* components, const QJsonObject& request, QJsonObject& reply);
    // The "job_progress" command: {"jobid", "secret", "from", "tcs": the
    // entries that finished from place "from" on}.
    static void OnJobProgress(ComponentMap* components, const QJsonObject& request, QJsonObject& reply);

private:
    LocalModel* m_model = nullptr;
    int m_leaseMs = DefaultLeaseMs;
    int m_stationLeaseMs = 30 * 1000;
};
