#pragma once

#include "local/CaseVerdict.h"
#include "local/DBT_Testcase.h"

#include <QString>

#include <memory>

// One test case's result within a job. Copies share the attached test case.
struct DBT_JobDetail
{
    int id = 0;
    int jobId = 0;
    int tcId = 0;
    int seqIdx = 0;
    // "running", then "pass" or "fail".
    QString status;
    QString content;
    std::shared_ptr<DBT_Testcase> testcase;
    // What the record says became of the case, beyond pass or fail.
    CaseVerdict verdict;
};
