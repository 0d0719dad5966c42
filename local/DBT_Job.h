#pragma once

#include <QDateTime>
#include <QString>

// One run of a plan. Status 2 while it runs, 3 once its results are stored.
struct DBT_Job
{
    int id = 0;
    int planId = 0;
    int projId = 0;
    int totalCnt = 0;
    int finishCnt = 0;
    int status = 0;
    QString starter;
    QDateTime sTime;
    QDateTime eTime;
};
