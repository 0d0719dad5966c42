#pragma once

#include "local/DBT_Job.h"

#include <QJsonObject>
#include <QList>

struct LocalJobContext;

// Where a stored plan's job goes once "execute_job_local" has recorded it:
// the host runs it itself (LocalDispatcher); the test-management server hands
// it back to the station that asked, which reports its results later.
class JobRunner
{
public:
    virtual ~JobRunner() = default;

    // Fills what the runner keeps with a job before it is stored.
    virtual void PrepareJob(DBT_Job&) {}
    // `reply` is the command's reply so far ("result" comes after).
    virtual void StartJob(const LocalJobContext& context, QJsonObject& reply) = 0;
    // The jobs "my_jobs" lists; false with the reason in `error`.
    virtual bool RunningJobs(QList<DBT_Job>& out, QString& error) = 0;
};
