#pragma once

#include "front/ReplyCallback.h"

#include <QJsonObject>

// Starts jobs: one self-deleting worker per job, reporting through the
// caller's callback.
class ATWorkerMng
{
public:
    void NewJob(const QJsonObject& request, const ReplyCallback& callback);
};
