#pragma once

#include "local/JobVerdict.h"

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

    // Beyond the client's form of a job: its verdict once it has one, the
    // ids of its test cases in the order it runs them (a JSON array), for a
    // job a server handed to a station the secret the station reports with,
    // and whether it waits for its device.
    JobVerdict verdict;
    QString caseIds;
    QString secret;
    bool waiting = false;
};
