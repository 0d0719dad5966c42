#pragma once

#include "base/ReplyCallback.h"

#include <QJsonObject>
#include <QJsonValue>

// What runs jobs on devices. The local job records and the remote
// transport hand the jobs they receive to it, and only the host's wiring
// knows which engine that is.
class JobEngine
{
public:
    virtual ~JobEngine() = default;

    // Starts `request` (a job as "ExecuteJob" takes it). `report` gets its
    // end once; `progress`, when set, its events as they happen.
    virtual void NewJob(const QJsonObject& request, const ReplyCallback& report, const EventCallback& progress = nullptr) = 0;
    // Whether a job with this "jobid" waits for its device.
    virtual bool Waiting(const QJsonValue& jobId) const = 0;
};
