#pragma once

#include "front/ReplyCallback.h"

#include <QJsonObject>
#include <QObject>

// Starts jobs: one self-deleting worker per job, reporting through the
// caller's callback.
class ATWorkerMng
{
public:
    void NewJob(const QJsonObject& request, const ReplyCallback& callback);

private:
    // Parent of the running workers, so that jobs still running when the
    // service goes are stopped and freed with it, without a report.
    QObject workers;
};
