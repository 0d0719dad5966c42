#pragma once

#include "engine/ScriptWatchdog.h"
#include "front/ReplyCallback.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QObject>

// Starts jobs: one self-deleting worker per job, reporting through the
// caller's callback.
class ATWorkerMng
{
public:
    // `progress`, when set, gets a "JobProgress" event as each test case ends.
    void NewJob(const QJsonObject& request, const ReplyCallback& callback, const EventCallback& progress = nullptr);
    // Ends every running job whose "jobid" equals `jobId` (see
    // ATWorker::Cancel) and returns how many there were.
    int CancelJob(const QJsonValue& jobId);

private:
    // Shared by every job's verifier; declared first so that it outlives the
    // workers that arm it.
    ScriptWatchdog watchdog;
    // Parent of the running workers, so that jobs still running when the
    // service goes are stopped and freed with it, without a report.
    QObject workers;
};
