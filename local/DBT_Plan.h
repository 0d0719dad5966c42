#pragma once

#include <QDateTime>
#include <QString>

// One stored test plan.
struct DBT_Plan
{
    DBT_Plan() = default;
    explicit DBT_Plan(int planId) : id(planId) {}

    int id = 0;
    int projId = 0;
    QString name;
    QString author;
    QDateTime cTime;
    QDateTime mTime;
    QString remark;
    QString tag;
    // A JSON object as text: the job-level script and per-case strategies.
    QString content;
};
