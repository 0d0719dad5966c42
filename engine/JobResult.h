#pragma once

#include "engine/TcResult.h"

#include <QJsonObject>
#include <QList>
#include <QString>

// Outcome of a whole job: the job-level verdict and every test case's result
// in the order the test cases finished.
class JobResult
{
public:
    void Init(int job, int plan);
    void Clear();
    void AddTc(const TcResult& tc) { tcs.append(tc); }
    QJsonObject ToJson() const;
    // The same with the verdicts the job's record keeps: "verdict" beside
    // "result", and in every entry of "tcs".
    QJsonObject ToJsonWithVerdicts() const;

    int jobId = 0;
    int planId = 0;
    bool result = false;
    QString remark;
    QList<TcResult> tcs;
};
