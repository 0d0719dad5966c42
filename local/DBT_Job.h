#pragma once

#include "local/JobVerdict.h"

#include <QDateTime>
#include <QString>

// One run of a plan. Status 1 while it waits in the server's queue, 2 while
// it runs, 3 once its results are stored.
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

    // A job of the server's queue: its priority, and the device it asked for
    // (a JSON array of tags, or a device url, maybe on a named station);
    // when it was queued (UTC text). Where a server's job runs or ran.
    int priority = 0;
    QString queueTags;
    QString queueDevice;
    QString queueStation;
    QString queued;
    QString station;
    QString device;
};
