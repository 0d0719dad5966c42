#include "local/LocalCommandTable.h"

#include "base/ComponentMap.h"
#include "local/JobRecord.h"
#include "local/JobRunner.h"
#include "local/JobVerdict.h"
#include "local/LocalJobContext.h"
#include "local/RecordJson.h"
#include "local/TextCheck.h"
#include "storage/LocalModel.h"

#include <QDateTime>
#include <QHash>
#include <QJsonArray>
#include <QPair>

#include <climits>

namespace {

const QString kResult = QStringLiteral("result");
const QString kOk = QStringLiteral("ok");

LocalModel* Model(ComponentMap* components)
{
    return components->Get<LocalModel>("LocalModel");
}

JobRunner* Runner(ComponentMap* components)
{
    return components->Get<JobRunner>("JobRunner");
}

// True when the record's text can be stored as given; else `reply` says
// which field cannot.
template<class Record>
bool storable(const Record& record, QJsonObject& reply)
{
    const QString refusal = TextCheck::Refusal(record);
    if (refusal.isEmpty())
        return true;
    reply.insert(kResult, refusal);
    return false;
}

void fail(QJsonObject& reply, LocalModel* model)
{
    reply.insert(kResult, model->LastErrorText());
}

// Paging arithmetic divides by the size, so a size below 1 is refused.
bool pageSizeOk(int size, QJsonObject& reply)
{
    if (size >= 1)
        return true;
    reply.insert(kResult, QStringLiteral("size must be 1 or more"));
    return false;
}

// The page as requested, not the one the model read (pages below 1 read the first).
void pageReply(int page, int size, int count, const QJsonArray& data, QJsonObject& reply)
{
    reply.insert(kResult, kOk);
    // In 64 bits: count - 1 + size overflows an int for sizes near its maximum.
    reply.insert(QStringLiteral("maxpage"), int((qint64(count) - 1 + size) / size));
    reply.insert(QStringLiteral("count"), count);
    reply.insert(QStringLiteral("page"), page);
    reply.insert(QStringLiteral("data"), data);
}

// The text of an opt-in "search" member, without surrounding blanks; false
// with the refusal when it is not text or too long to look for.
bool searchText(const QJsonObject& request, QString& text, QJsonObject& reply)
{
    // Ample for a title, and well within what `like` patterns may hold.
    constexpr int maxChars = 200;
    const QJsonValue value = request.value(QStringLiteral("search"));
    if (!value.isString()) {
        reply.insert(kResult, QStringLiteral("\"search\" must be the text to look for, as a JSON string."));
        return false;
    }
    text = value.toString().trimmed();
    if (text.size() <= maxChars)
        return true;
    reply.insert(kResult, QStringLiteral("The search text has %1 characters, more than the %2 it may have; search for a "
                                         "shorter part of it.").arg(text.size()).arg(maxChars));
    return false;
}

void searchTcs(LocalModel* model, int page, int size, const QJsonObject& request, QJsonObject& reply)
{
    QString text;
    if (!searchText(request, text, reply))
        return;
    QList<DBT_Testcase> testcases;
    int count = 0;
    if (!model->SearchTestcases(page, size, request.value(QStringLiteral("path")).toString(), text, testcases, count))
        return fail(reply, model);
    pageReply(page, size, count, TestcasesToJson(testcases), reply);
}

void addTc(ComponentMap* components, const QJsonObject& request, QJsonObject& reply)
{
    const QJsonValue testcase = request.value(QStringLiteral("testcase"));
    if (!testcase.isObject()) {
        reply.insert(kResult, QStringLiteral("Json no testcase"));
        return;
    }
    DBT_Testcase tc;
    JsonToTestcase(testcase.toObject(), tc);
    LocalModel* model = Model(components);
    if (!storable(tc, reply))
        return;
    if (!model->AddTestcase(tc))
        return fail(reply, model);
    reply.insert(kResult, kOk);
    reply.insert(QStringLiteral("testcaseid"), tc.id);
}

void projTcs(ComponentMap* components, const QJsonObject& request, QJsonObject& reply)
{
    const int page = request.value(QStringLiteral("page")).toInt(1);
    const int size = request.value(QStringLiteral("size")).toInt(1);
    if (!pageSizeOk(size, reply))
        return;
    LocalModel* model = Model(components);
    if (request.contains(QStringLiteral("search")))
        return searchTcs(model, page, size, request, reply);
    QList<DBT_Testcase> testcases;
    int count = 0;
    if (!model->QueryTestcases(page, size, request.value(QStringLiteral("path")).toString(), testcases, count))
        return fail(reply, model);
    pageReply(page, size, count, TestcasesToJson(testcases), reply);
}

void delTc(ComponentMap* components, const QJsonObject& request, QJsonObject& reply)
{
    DBT_Testcase tc;
    JsonToTestcase(request, tc);
    LocalModel* model = Model(components);
    if (!model->DeleteTestcase(tc))
        return fail(reply, model);
    reply.insert(kResult, kOk);
}

void fetchTc(ComponentMap* components, const QJsonObject& request, QJsonObject& reply)
{
    DBT_Testcase tc;
    JsonToTestcase(request, tc);
    LocalModel* model = Model(components);
    if (!model->GetTestcase(tc))
        return fail(reply, model);
    reply.insert(kResult, kOk);
    TestcaseToJson(tc, reply);
}

void updateTc(ComponentMap* components, const QJsonObject& request, QJsonObject& reply)
{
    DBT_Testcase tc;
    JsonToTestcase(request, tc);
    const QJsonValue attrs = request.value(QStringLiteral("attrs"));
    if (!attrs.isObject()) {
        reply.insert(kResult, QStringLiteral("Json no attrs"));
        return;
    }
    JsonToTestcase(attrs.toObject(), tc);
    LocalModel* model = Model(components);
    if (!storable(tc, reply))
        return;
    if (!model->UpdateTestcase(tc))
        return fail(reply, model);
    reply.insert(kResult, kOk);
}

void createPlan(ComponentMap* components, const QJsonObject& request, QJsonObject& reply)
{
    DBT_Plan plan;
    JsonToPlan(request, plan);
    LocalModel* model = Model(components);
    if (!storable(plan, reply))
        return;
    if (!model->AddPlan(plan))
        return fail(reply, model);
    reply.insert(kResult, kOk);
    reply.insert(QStringLiteral("planid"), plan.id);
    QJsonObject stored;
    PlanToJson(plan, stored);
    reply.insert(QStringLiteral("plan"), stored);
}

void planInfo(ComponentMap* components, const QJsonObject& request, QJsonObject& reply)
{
    DBT_Plan plan;
    JsonToPlan(request, plan);
    LocalModel* model = Model(components);
    if (!model->GetPlan(plan))
        return fail(reply, model);
    reply.insert(kResult, kOk);
    PlanToJson(plan, reply);
}

void updatePlan(ComponentMap* components, const QJsonObject& request, QJsonObject& reply)
{
    DBT_Plan plan;
    JsonToPlan(request, plan);
    JsonToPlan(request.value(QStringLiteral("attrs")).toObject(), plan);
    LocalModel* model = Model(components);
    if (!storable(plan, reply))
        return;
    if (!model->UpdatePlan(plan))
        return fail(reply, model);
    reply.insert(kResult, kOk);
}

void syncPlan(ComponentMap* components, const QJsonObject& request, QJsonObject& reply)
{
    DBT_Plan plan;
    JsonToPlan(request, plan);
    const QJsonArray tcList = request.value(QStringLiteral("tclist")).toArray();
    QList<uint> ids;
    ids.reserve(tcList.size());
    for (const QJsonValue& id : tcList)
        ids.append(uint(id.toInt(0)));
    LocalModel* model = Model(components);
    QList<DBT_Testcase> testcases;
    if (!model->SetPlanTestcases(plan, ids, testcases))
        return fail(reply, model);
    reply.insert(kResult, kOk);
    reply.insert(QStringLiteral("data"), TestcasesToJson(testcases));
}

void planTcs(ComponentMap* components, const QJsonObject& request, QJsonObject& reply)
{
    DBT_Plan plan;
    JsonToPlan(request, plan);
    QList<DBT_Testcase> testcases;
    LocalModel* model = Model(components);
    if (!model->GetPlanTestcases(plan, testcases))
        return fail(reply, model);
    reply.insert(kResult, kOk);
    reply.insert(QStringLiteral("data"), TestcasesToJson(testcases));
}

void delPlan(ComponentMap* components, const QJsonObject& request, QJsonObject& reply)
{
    DBT_Plan plan;
    JsonToPlan(request, plan);
    LocalModel* model = Model(components);
    if (!model->DeletePlan(plan))
        return fail(reply, model);
    reply.insert(kResult, kOk);
    reply.insert(QStringLiteral("planid"), plan.id);
}

void myPlans(ComponentMap* components, const QJsonObject& request, QJsonObject& reply)
{
    DBT_Plan filter;
    JsonToPlan(request, filter);
    const int page = request.value(QStringLiteral("page")).toInt(1);
    const int size = request.value(QStringLiteral("size")).toInt(1);
    if (!pageSizeOk(size, reply))
        return;
    QList<DBT_Plan> plans;
    int count = 0;
    LocalModel* model = Model(components);
    // Without "all" or "search", a tag's plans exactly as before: none found
    // answers the model's empty error text.
    if (request.value(QStringLiteral("all")) == QJsonValue(true) || request.contains(QStringLiteral("search"))) {
        LocalModel::PlanSearch search;
        search.byTag = request.contains(QStringLiteral("tags"));
        search.tag = filter.tag;
        if (request.contains(QStringLiteral("search")) && !searchText(request, search.text, reply))
            return;
        if (!model->SearchPlans(page, size, search, plans, count))
            return fail(reply, model);
    } else if (!model->QueryPlans(page, size, filter.tag, plans, count)) {
        return fail(reply, model);
    }
    pageReply(page, size, count, RecordsToJson<DBT_Plan, PlanToJson>(plans), reply);
}

void executeJobLocal(ComponentMap* components, const QJsonObject& request, QJsonObject& reply)
{
    DBT_Job job;
    JsonToJob(request, job);
    const QString url = request.value(QStringLiteral("url")).toString();
    if (url.isEmpty()) {
        reply.insert(kResult, QStringLiteral("URL is empty."));
        return;
    }
    if (!storable(job, reply))
        return;
    LocalModel* model = Model(components);
    DBT_Plan plan(job.planId);
    if (!model->GetPlan(plan))
        return fail(reply, model);
    QList<DBT_Testcase> testcases;
    if (!model->GetPlanTestcases(plan, testcases))
        return fail(reply, model);
    if (testcases.isEmpty()) {
        reply.insert(kResult, QStringLiteral("Test plan has no testcase to execute"));
        return;
    }
    job.status = 2;
    job.totalCnt = testcases.size();
    job.sTime = QDateTime::currentDateTime();
    // The job's record holds the list it runs, whatever becomes of the plan.
    job.caseIds = JobRecord::CaseIds(testcases);
    JobRunner* runner = Runner(components);
    runner->PrepareJob(job);
    if (!model->StartJob(job))
        return fail(reply, model);
    runner->StartJob(LocalJobContext(url, job, plan, testcases), reply);
    reply.insert(kResult, kOk);
    reply.insert(QStringLiteral("planid"), plan.id);
    reply.insert(QStringLiteral("jobid"), job.id);
}

QJsonArray jobsToJson(const QList<DBT_Job>& jobs, bool verdicts)
{
    return verdicts ? RecordsToJson<DBT_Job, JobToJsonWithVerdict>(jobs) : RecordsToJson<DBT_Job, JobToJson>(jobs);
}

void myJobs(ComponentMap* components, const QJsonObject& request, QJsonObject& reply)
{
    // Without a database no local job can have started.
    JobRunner* runner = components ? Runner(components) : nullptr;
    QList<DBT_Job> jobs;
    QString error;
    if (runner && !runner->RunningJobs(jobs, error)) {
        reply.insert(kResult, error);
        return;
    }
    reply.insert(kResult, kOk);
    QJsonArray data = jobsToJson(jobs, JobVerdict::Asked(request));
    if (runner && JobVerdict::Asked(request)) {
        for (int i = 0; i < data.size(); ++i) {
            QJsonObject job = data.at(i).toObject();
            job.insert(QStringLiteral("waiting"), jobs.at(i).waiting);
            data.replace(i, job);
        }
    }
    reply.insert(QStringLiteral("data"), data);
}

void myReports(ComponentMap* components, const QJsonObject& request, QJsonObject& reply)
{
    QList<DBT_Job> jobs;
    LocalModel* model = Model(components);
    if (!model->GetFinishedJobs(jobs, request.value(QStringLiteral("size")).toInt(20)))
        return fail(reply, model);
    reply.insert(kResult, kOk);
    reply.insert(QStringLiteral("data"), jobsToJson(jobs, JobVerdict::Asked(request)));
}

void jobInfo(ComponentMap* components, const QJsonObject& request, QJsonObject& reply)
{
    DBT_Job job;
    JsonToJob(request, job);
    LocalModel* model = Model(components);
    if (!model->GetJob(job))
        return fail(reply, model);
    reply.insert(kResult, kOk);
    if (JobVerdict::Asked(request))
        JobToJsonWithVerdict(job, reply);
    else
        JobToJson(job, reply);
}

void jobDetail(ComponentMap* components, const QJsonObject& request, QJsonObject& reply)
{
    DBT_Job job;
    JsonToJob(request, job);
    LocalModel* model = Model(components);
    if (!model->GetJob(job))
        return fail(reply, model);
    const bool verdicts = JobVerdict::Asked(request);
    // A running job's details are stored from its start; without verdicts
    // it shows none until it is over, as before.
    QList<DBT_JobDetail> details;
    if ((job.status != 2 || verdicts) && !model->GetJobDetails(job, details))
        return fail(reply, model);
    reply.insert(kResult, kOk);
    QJsonObject stored;
    if (verdicts)
        JobToJsonWithVerdict(job, stored);
    else
        JobToJson(job, stored);
    reply.insert(QStringLiteral("job"), stored);
    reply.insert(QStringLiteral("jobdetail"), verdicts ? RecordsToJson<DBT_JobDetail, JobDetailToJsonWithVerdict>(details)
                                                       : RecordsToJson<DBT_JobDetail, JobDetailToJson>(details));
}


// A test case's last verdicts across jobs and devices. Flaky: on one device
// the verdict changed from a run to the next while the case itself did not.
void tcHistory(ComponentMap* components, const QJsonObject& request, QJsonObject& reply)
{
    int tcId = 0;
    if (!IntegerIn(request.value(QStringLiteral("tcid")), 1, INT_MAX, tcId)) {
        reply.insert(kResult, QStringLiteral("tcid must be a test case id (an integer from 1)"));
        return;
    }
    int size = 20;
    const QJsonValue sizeValue = request.value(QStringLiteral("size"));
    if (!sizeValue.isUndefined() && !IntegerIn(sizeValue, 1, 1000, size)) {
        reply.insert(kResult, QStringLiteral("size must be an integer from 1 to 1000"));
        return;
    }
    LocalModel* model = Model(components);
    QList<LocalModel::TcRun> history;
    QDateTime changed;
    bool exists = false;
    if (!model->QueryTcHistory(tcId, size, history, changed, exists))
        return fail(reply, model);
    if (!exists) {
        reply.insert(kResult, QStringLiteral("test case %1 does not exist").arg(tcId));
        return;
    }
    int runs = 0;
    int passed = 0;
    bool flaky = false;
    // The status of the run after this one (the list is newest first) on each device.
    QHash<QPair<QString, QString>, QString> later;
    QJsonArray data;
    for (const LocalModel::TcRun& run : qAsConst(history)) {
        // A detail stored before verdicts were kept is judged as "job_detail" judges it.
        QJsonObject judged;
        JobDetailToJsonWithVerdict(run.detail, judged);
        const QJsonObject verdict = judged.value(QStringLiteral("verdict")).toObject();
        const QString status = verdict.value(QStringLiteral("status")).toString();
        data.append(QJsonObject{{QStringLiteral("jobid"), run.detail.jobId},
                                {QStringLiteral("planid"), run.planId},
                                {QStringLiteral("station"), run.station.isNull() ? QStringLiteral("") : run.station},
                                {QStringLiteral("device"), run.device.isNull() ? QStringLiteral("") : run.device},
                                {QStringLiteral("time"), run.started.isNull() ? QStringLiteral("")
                                                                              : run.started.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))},
                                {QStringLiteral("status"), status},
                                {QStringLiteral("remark"), verdict.value(QStringLiteral("remark"))},
                                {QStringLiteral("ms"), verdict.value(QStringLiteral("ms"))}});
        if (status != QLatin1String("pass") && status != QLatin1String("fail") && status != QLatin1String("error"))
            continue;
        ++runs;
        passed += status == QLatin1String("pass");
        // Without a device nothing says two runs shared one.
        if (run.device.isEmpty() || run.started.isNull())
            continue;
        const QPair<QString, QString> where(run.station, run.device);
        // mTime is stored to the second (rounded on PostgreSQL), so only a
        // change before the second this run started is surely before it.
        const QDateTime startSecond = run.started.addMSecs(-run.started.time().msec());
        const bool unchanged = changed.isNull() || changed < startSecond;
        const auto next = later.constFind(where);
        if (next != later.constEnd() && next.value() != status && unchanged)
            flaky = true;
        later.insert(where, status);
    }
    reply.insert(kResult, kOk);
    reply.insert(QStringLiteral("tcid"), tcId);
    reply.insert(QStringLiteral("runs"), runs);
    reply.insert(QStringLiteral("passed"), passed);
    reply.insert(QStringLiteral("pass_rate"), runs ? QJsonValue(qRound(passed * 1000.0 / runs) / 1000.0) : QJsonValue());
    reply.insert(QStringLiteral("flaky"), flaky);
    reply.insert(QStringLiteral("data"), data);
}
} // namespace

LocalCommandTable::LocalCommandTable()
{
    handlers.insert(QStringLiteral("add_tc"), addTc);
    handlers.insert(QStringLiteral("proj_tcs"), projTcs);
    handlers.insert(QStringLiteral("del_tc"), delTc);
    handlers.insert(QStringLiteral("fetch_tc"), fetchTc);
    handlers.insert(QStringLiteral("update_tc"), updateTc);
    handlers.insert(QStringLiteral("create_plan"), createPlan);
    handlers.insert(QStringLiteral("plan_info"), planInfo);
    handlers.insert(QStringLiteral("update_plan"), updatePlan);
    handlers.insert(QStringLiteral("sync_plan"), syncPlan);
    handlers.insert(QStringLiteral("plan_tcs"), planTcs);
    handlers.insert(QStringLiteral("del_plan"), delPlan);
    handlers.insert(QStringLiteral("my_plans"), myPlans);
    handlers.insert(QStringLiteral("execute_job_local"), executeJobLocal);
    handlers.insert(QStringLiteral("my_jobs"), myJobs);
    handlers.insert(QStringLiteral("my_reports"), myReports);
    handlers.insert(QStringLiteral("job_info"), jobInfo);
    handlers.insert(QStringLiteral("job_detail"), jobDetail);
    handlers.insert(QStringLiteral("tc_history"), tcHistory);
}

void LocalCommandTable::Add(const QString& command, LocalHandler handler)
{
    handlers.insert(command, handler);
}

bool LocalCommandTable::Dispatch(const QJsonObject& request, QJsonObject& reply)
{
    const auto handler = handlers.constFind(request.value(QStringLiteral("cmd")).toString());
    if (handler == handlers.constEnd())
        return false;
    // Without a database there is no component map to look anything up in;
    // listing the running jobs needs none.
    if (!components && handler.value() != myJobs) {
        reply.insert(kResult, QStringLiteral("Local database is not available: it failed to open at start-up"));
        return true;
    }
    if (TooLong(request, reply))
        return true;
    handler.value()(components, request, reply);
    return true;
}

bool LocalCommandTable::TooLong(const QJsonObject& request, QJsonObject& reply) const
{
    if (request.value(QStringLiteral("cmd")).toString() != QLatin1String("sync_plan"))
        return false;
    const int size = request.value(QStringLiteral("tclist")).toArray().size();
    if (size <= maxTcList)
        return false;
    reply.insert(kResult, QStringLiteral("tclist has %1 test case ids, more than the limit of %2; the plan is unchanged")
                              .arg(size)
                              .arg(maxTcList));
    return true;
}
