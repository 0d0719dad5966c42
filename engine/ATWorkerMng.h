#pragma once

#include "base/JobEngine.h"
#include "base/ReplyCallback.h"
#include "engine/JobLimits.h"
#include "platform/ControllerEndpoint.h"

#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

class ATWorker;

// Starts jobs: one self-deleting worker per job, reporting through the
// caller's callback. A device runs one job at a time: a job for a device that
// a running job holds waits, first come first served, until that job's worker
// is gone, so that two jobs never take turns on one device.
class ATWorkerMng : public JobEngine
{
public:
    // Jobs open their devices' channels at `controller`, and each takes
    // `limits` as they are when it starts (the owner may change them).
    ATWorkerMng(const ControllerEndpoint& controller, const JobLimits& limits)
        : controller(controller)
        , limits(limits)
    {
    }
    // Held by reference: a temporary would be gone before the first job.
    ATWorkerMng(const ControllerEndpoint&, JobLimits&&) = delete;

    // `progress`, when set, gets a "JobProgress" event as each test case ends,
    // a "JobWaiting" event when the job has to wait for its device and a
    // "JobStarted" event when, having waited, it starts.
    void NewJob(const QJsonObject& request, const ReplyCallback& callback, const EventCallback& progress = nullptr) override;
    // Ends every running or waiting job whose "jobid" equals `jobId` (see
    // ATWorker::Cancel), on the device of `url` only when one is given, and
    // returns how many there were.
    int CancelJob(const QJsonValue& jobId, const QString& url = QString());
    // Whether a job with this "jobid" waits for its device.
    bool Waiting(const QJsonValue& jobId) const override;

    // What runs now, for the host's metrics: jobs that have not reported,
    // those of them that wait for their device, open device channels and
    // script processes.
    struct Load
    {
        int running = 0;
        int waiting = 0;
        int devicesConnected = 0;
        int scriptProcesses = 0;
    };
    Load Count() const;
    // Whether a job holds the device `device` (an id as ATWorker::DeviceId
    // gives it), and that job's "jobid". A job that has ended gives way to the
    // one that takes the device next, if any.
    bool Holder(const QString& device, QJsonValue* jobId) const;

private:
    struct Queued
    {
        QPointer<ATWorker> worker;
        QString url;
        EventCallback progress;
    };

    // Starts `worker` on `device` and frees the device once it is destroyed.
    void Run(ATWorker* worker, const QString& device, const QString& url);
    void Release(const QString& device);

    const ControllerEndpoint controller;
    const JobLimits& limits;
    // Parent of the running workers, so that jobs still running when the
    // service goes are stopped and freed with it, without a report.
    QObject workers;
    // The devices that a job holds, each with the jobs that wait for it.
    QHash<QString, QList<Queued>> devices;
};
