#pragma once

#include "engine/TcItem.h"

#include <QJsonObject>
#include <QList>
#include <QString>

class IdNameCov;

// A job request parsed: the job-level script and the test cases in order.
class JobItem
{
public:
    bool Init(const QJsonObject& request, IdNameCov* cov);
    void Clear();

    int jobId = 0;
    int planId = 0;
    QString script;
    QList<TcItem> tcItems;
};
