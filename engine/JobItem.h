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
    // False when the request cannot be run; `error`, when given, then says
    // why in the user's terms, and `failedCase` which case of "case_list"
    // was at fault (-1 when none was).
    bool Init(const QJsonObject& request, IdNameCov* cov, QString* error = nullptr, int* failedCase = nullptr);
    void Clear();

    int jobId = 0;
    int planId = 0;
    QString script;
    QList<TcItem> tcItems;
};
