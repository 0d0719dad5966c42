#include "local/LocalJobContext.h"

LocalJobContext::LocalJobContext(const QString& jobUrl, const DBT_Job& runningJob, const DBT_Plan& jobPlan,
                                 const QList<DBT_Testcase>& testcases)
    : url(jobUrl)
    , job(runningJob)
    , plan(jobPlan)
{
    for (int i = 0; i < testcases.size(); ++i) {
        DBT_JobDetail detail;
        detail.jobId = job.id;
        detail.tcId = testcases.at(i).id;
        detail.seqIdx = i;
        detail.status = QStringLiteral("running");
        detail.testcase = std::make_shared<DBT_Testcase>(testcases.at(i));
        details.append(detail);
    }
}
