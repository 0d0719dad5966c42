#include "storage/LocalModel.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QSqlError>
#include <QSqlRecord>
#include <QVariant>

#include <utility>

namespace {

const char* const kConnection = "AutoTest";

const char* const kSchema[] = {
    "PRAGMA foreign_keys=ON;",
    "create table if not exists T_Plan ("
    " id integer primary key autoincrement,"
    " projId integer not null,"
    " name text not null,"
    " author text,"
    " cTime datetime default (datetime('now', 'localtime')),"
    " mTime datetime default (datetime('now', 'localtime')),"
    " remark text,"
    " content text,"
    " tag text);",
    "create table if not exists T_Tc ("
    " id integer primary key autoincrement,"
    " projId integer not null,"
    " title text not null,"
    " path text,"
    " author text,"
    " remark text,"
    " hw text,"
    " sw text,"
    " constraints text,"
    " tags text,"
    " timeout integer,"
    " content text not null,"
    " date datetime default(datetime('now', 'localtime')),"
    " mTime datetime default(datetime('now', 'localtime')));",
    "create table if not exists T_PlanTC ("
    " id integer primary key autoincrement,"
    " planId integer references T_Plan(id) on delete cascade,"
    " tcId integer references T_Tc(id) on delete cascade);",
    "create table if not exists T_Job ("
    " id integer primary key autoincrement,"
    " planId integer not null references T_Plan(id) on delete cascade,"
    " projId integer not null,"
    " totalCnt integer,"
    " finishCnt integer,"
    " status integer,"
    " starter text,"
    " sTime datetime,"
    " eTime datetime);",
    "create table if not exists T_JobDetail ("
    " id integer primary key autoincrement,"
    " jobId integer not null references T_Job(id) on delete cascade,"
    " tcId integer not null references T_Tc(id) on delete cascade,"
    " seqIdx integer not null,"
    " status text,"
    " content text);",
};

// A null QDateTime would be stored as an empty text; NULL needs a null
// variant of the date-time type.
QVariant dateTimeValue(const QDateTime& value)
{
    return value.isNull() ? QVariant(QVariant::DateTime) : QVariant(value);
}

int intColumn(const QSqlQuery& query, const char* name)
{
    return query.value(QLatin1String(name)).toInt();
}

QString textColumn(const QSqlQuery& query, const char* name)
{
    return query.value(QLatin1String(name)).toString();
}

QDateTime timeColumn(const QSqlQuery& query, const char* name)
{
    return query.value(QLatin1String(name)).toDateTime();
}

} // namespace

LocalModel::~LocalModel()
{
    Close();
    query = QSqlQuery();
    db = QSqlDatabase();
}

QString LocalModel::FilePath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/Data/autotest.db3");
}

bool LocalModel::Open()
{
    db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QLatin1String(kConnection));
    db.setDatabaseName(FilePath());
    if (!db.open())
        return false;
    query = QSqlQuery(db);
    queryBound = true;
    for (const char* statement : kSchema) {
        if (!Run(QLatin1String(statement)))
            return false;
    }
    return true;
}

void LocalModel::Close()
{
    if (db.isOpen()) {
        query.finish();
        db.close();
    }
}

QString LocalModel::LastErrorText() const
{
    if (!limitError.isEmpty())
        return std::exchange(limitError, QString());
    return queryBound ? query.lastError().text() : QString();
}

bool LocalModel::ReadTestcases(QList<DBT_Testcase>& out)
{
    qint64 bytes = 0;
    while (query.next()) {
        DBT_Testcase tc;
        ReadTestcase(tc);
        bytes += tc.title.size() + tc.path.size() + tc.author.size() + tc.remark.size() + tc.hw.size() + tc.sw.size()
                 + tc.constraints.size() + tc.tags.size() + tc.content.size();
        if (readLimit > 0 && bytes > readLimit) {
            query.finish();
            out.clear();
            limitError = QStringLiteral("Reply too large: the test cases come to more than %1 bytes").arg(readLimit);
            return false;
        }
        out.append(tc);
    }
    query.finish();
    return true;
}

bool LocalModel::Run(const QString& statement)
{
    query.prepare(statement);
    return query.exec();
}

void LocalModel::ReadTestcase(DBT_Testcase& tc) const
{
    tc.id = intColumn(query, "id");
    tc.projId = intColumn(query, "projId");
    tc.timeout = intColumn(query, "timeout");
    tc.title = textColumn(query, "title");
    tc.path = textColumn(query, "path");
    tc.author = textColumn(query, "author");
    tc.remark = textColumn(query, "remark");
    tc.hw = textColumn(query, "hw");
    tc.sw = textColumn(query, "sw");
    tc.constraints = textColumn(query, "constraints");
    tc.tags = textColumn(query, "tags");
    tc.content = textColumn(query, "content");
    tc.date = timeColumn(query, "date");
    tc.mTime = timeColumn(query, "mTime");
}

void LocalModel::ReadPlan(DBT_Plan& plan) const
{
    plan.id = intColumn(query, "id");
    plan.projId = intColumn(query, "projId");
    plan.name = textColumn(query, "name");
    plan.author = textColumn(query, "author");
    plan.cTime = timeColumn(query, "cTime");
    plan.mTime = timeColumn(query, "mTime");
    plan.remark = textColumn(query, "remark");
    plan.tag = textColumn(query, "tag");
    plan.content = textColumn(query, "content");
}

void LocalModel::ReadJob(DBT_Job& job) const
{
    job.id = intColumn(query, "id");
    job.planId = intColumn(query, "planId");
    job.projId = intColumn(query, "projId");
    job.totalCnt = intColumn(query, "totalCnt");
    job.finishCnt = intColumn(query, "finishCnt");
    job.status = intColumn(query, "status");
    job.starter = textColumn(query, "starter");
    job.sTime = timeColumn(query, "sTime");
    job.eTime = timeColumn(query, "eTime");
}

void LocalModel::ReadJobDetail(DBT_JobDetail& detail) const
{
    detail.id = intColumn(query, "id");
    detail.jobId = intColumn(query, "jobId");
    detail.tcId = intColumn(query, "tcId");
    detail.seqIdx = intColumn(query, "seqIdx");
    detail.status = textColumn(query, "status");
    detail.content = textColumn(query, "content");
}

void LocalModel::BindTestcaseFields(const DBT_Testcase& tc)
{
    query.bindValue(QStringLiteral(":title"), tc.title);
    query.bindValue(QStringLiteral(":path"), tc.path);
    query.bindValue(QStringLiteral(":author"), tc.author);
    query.bindValue(QStringLiteral(":remark"), tc.remark);
    query.bindValue(QStringLiteral(":hw"), tc.hw);
    query.bindValue(QStringLiteral(":sw"), tc.sw);
    query.bindValue(QStringLiteral(":constraints"), tc.constraints);
    query.bindValue(QStringLiteral(":tags"), tc.tags);
    query.bindValue(QStringLiteral(":timeout"), tc.timeout);
    query.bindValue(QStringLiteral(":content"), tc.content);
}

bool LocalModel::AddTestcase(DBT_Testcase& tc)
{
    query.prepare(QStringLiteral(
        "insert into T_Tc (projId,title,path,author,remark,hw,sw,constraints,tags,timeout,content) values "
        "(:projId, :title, :path, :author, :remark, :hw, :sw, :constraints, :tags, :timeout, :content);"));
    query.bindValue(QStringLiteral(":projId"), tc.projId);
    BindTestcaseFields(tc);
    if (!query.exec())
        return false;
    tc.id = query.lastInsertId().toInt();
    return GetTestcase(tc);
}

bool LocalModel::DeleteTestcase(const DBT_Testcase& tc)
{
    query.prepare(QStringLiteral("delete from T_Tc where id = :id;"));
    query.bindValue(QStringLiteral(":id"), tc.id);
    return query.exec();
}

bool LocalModel::GetTestcase(DBT_Testcase& tc)
{
    query.prepare(QStringLiteral("select * from T_Tc where id = :id"));
    query.bindValue(QStringLiteral(":id"), tc.id);
    if (!query.exec() || !query.first())
        return false;
    ReadTestcase(tc);
    query.finish();
    return true;
}

bool LocalModel::UpdateTestcase(const DBT_Testcase& tc)
{
    query.prepare(QStringLiteral(
        "update T_Tc set title = :title, path = :path, author = :author, remark = :remark, hw = :hw, sw = :sw, "
        "constraints = :constraints, tags = :tags, timeout = :timeout, content = :content, "
        "mTime = datetime('now','localtime') where id = :id ;"));
    BindTestcaseFields(tc);
    query.bindValue(QStringLiteral(":id"), tc.id);
    return query.exec();
}

bool LocalModel::QueryTestcases(int page, int pageSz, QString path, QList<DBT_Testcase>& out, int& total)
{
    path += QLatin1Char('%');
    query.prepare(QStringLiteral("select count(*) from T_Tc where path like :path ;"));
    query.bindValue(QStringLiteral(":path"), path);
    if (!query.exec() || !query.first())
        return false;
    total = query.value(0).toInt();
    if (total < 1)
        return true;
    query.prepare(QStringLiteral("select * from T_Tc where path like :path limit :pageSz offset :page * :pageSz ;"));
    query.bindValue(QStringLiteral(":path"), path);
    query.bindValue(QStringLiteral(":pageSz"), pageSz);
    query.bindValue(QStringLiteral(":page"), qMax(page - 1, 0));
    if (!query.exec())
        return false;
    return ReadTestcases(out);
}

bool LocalModel::AddPlan(DBT_Plan& plan)
{
    query.prepare(QStringLiteral("insert into T_Plan (projId,name,author,remark,tag,content) values "
                                 "(:projId, :name, :author, :remark, :tag, :content);"));
    query.bindValue(QStringLiteral(":projId"), plan.projId);
    query.bindValue(QStringLiteral(":name"), plan.name);
    query.bindValue(QStringLiteral(":author"), plan.author);
    query.bindValue(QStringLiteral(":remark"), plan.remark);
    query.bindValue(QStringLiteral(":tag"), plan.tag);
    query.bindValue(QStringLiteral(":content"), plan.content);
    if (!query.exec())
        return false;
    plan.id = query.lastInsertId().toInt();
    return GetPlan(plan);
}

bool LocalModel::DeletePlan(const DBT_Plan& plan)
{
    query.prepare(QStringLiteral("delete from T_Plan where id = :id ;"));
    query.bindValue(QStringLiteral(":id"), plan.id);
    return query.exec();
}

bool LocalModel::GetPlan(DBT_Plan& plan)
{
    query.prepare(QStringLiteral("select * from T_Plan where id = :id;"));
    query.bindValue(QStringLiteral(":id"), plan.id);
    if (!query.exec() || !query.first())
        return false;
    ReadPlan(plan);
    query.finish();
    return true;
}

bool LocalModel::UpdatePlan(const DBT_Plan& plan)
{
    query.prepare(QStringLiteral("update T_Plan set name = :name ,remark = :remark, tag = :tag, content = :content, "
                                 "mTime = datetime('now', 'localtime') where id = :id ;"));
    query.bindValue(QStringLiteral(":name"), plan.name);
    query.bindValue(QStringLiteral(":remark"), plan.remark);
    query.bindValue(QStringLiteral(":tag"), plan.tag);
    query.bindValue(QStringLiteral(":content"), plan.content);
    query.bindValue(QStringLiteral(":id"), plan.id);
    return query.exec();
}

bool LocalModel::QueryPlans(int page, int pageSz, QString tag, QList<DBT_Plan>& out, int& total)
{
    query.prepare(QStringLiteral("select count(*) from T_Plan where tag = :tag ;"));
    query.bindValue(QStringLiteral(":tag"), tag);
    if (!query.exec() || !query.first())
        return false;
    total = query.value(0).toInt();
    if (total == 0)
        return false;
    query.prepare(QStringLiteral("select * from T_Plan where tag = :tag limit :pageSz offset :page * :pageSz  ;"));
    query.bindValue(QStringLiteral(":tag"), tag);
    query.bindValue(QStringLiteral(":pageSz"), pageSz);
    query.bindValue(QStringLiteral(":page"), qMax(page - 1, 0));
    if (!query.exec())
        return false;
    while (query.next()) {
        DBT_Plan plan;
        ReadPlan(plan);
        out.append(plan);
    }
    query.finish();
    return true;
}

bool LocalModel::GetPlanTestcases(const DBT_Plan& plan, QList<DBT_Testcase>& out)
{
    query.prepare(QStringLiteral(
        "select * from T_Tc inner join  T_PlanTC on T_Tc.id = T_PlanTC.tcId and T_PlanTC.planId = :planId"));
    query.bindValue(QStringLiteral(":planId"), plan.id);
    if (!query.exec())
        return false;
    return ReadTestcases(out);
}

bool LocalModel::SetPlanTestcases(const DBT_Plan& plan, const QList<uint>& tcIds)
{
    query.prepare(QStringLiteral("delete from T_PlanTC where planId = :planId;"));
    query.bindValue(QStringLiteral(":planId"), plan.id);
    if (!query.exec())
        return false;
    for (const uint tcId : tcIds) {
        query.prepare(QStringLiteral("insert into T_PlanTC (planId,tcId) values (:planId, :tcId);"));
        query.bindValue(QStringLiteral(":planId"), plan.id);
        query.bindValue(QStringLiteral(":tcId"), tcId);
        if (!query.exec())
            return false;
    }
    query.prepare(QStringLiteral("update T_Plan set mTime = datetime('now', 'localtime') where id = :id ;"));
    query.bindValue(QStringLiteral(":id"), plan.id);
    return query.exec();
}

bool LocalModel::AddJob(DBT_Job& job)
{
    query.prepare(QStringLiteral("insert into T_Job (planId,projId,totalCnt,finishCnt,status,starter,sTime,eTime) values "
                                 "(:planId, :projId, :totalCnt, :finishCnt, :status, :starter, :sTime, :eTime);"));
    query.bindValue(QStringLiteral(":planId"), job.planId);
    query.bindValue(QStringLiteral(":projId"), job.projId);
    query.bindValue(QStringLiteral(":totalCnt"), job.totalCnt);
    query.bindValue(QStringLiteral(":finishCnt"), job.finishCnt);
    query.bindValue(QStringLiteral(":status"), job.status);
    query.bindValue(QStringLiteral(":starter"), job.starter);
    query.bindValue(QStringLiteral(":sTime"), dateTimeValue(job.sTime));
    query.bindValue(QStringLiteral(":eTime"), dateTimeValue(job.eTime));
    if (!query.exec())
        return false;
    job.id = query.lastInsertId().toInt();
    return true;
}

bool LocalModel::GetJob(DBT_Job& job)
{
    query.prepare(QStringLiteral("select * from T_Job where id = :id;"));
    query.bindValue(QStringLiteral(":id"), job.id);
    if (!query.exec() || !query.first())
        return false;
    ReadJob(job);
    query.finish();
    return true;
}

bool LocalModel::UpdateJob(const DBT_Job& job)
{
    query.prepare(QStringLiteral(
        "update T_Job set finishCnt = :finishCnt, status = :status, sTime = :sTime, eTime = :eTime where id = :id ;"));
    query.bindValue(QStringLiteral(":finishCnt"), job.finishCnt);
    query.bindValue(QStringLiteral(":status"), job.status);
    query.bindValue(QStringLiteral(":sTime"), dateTimeValue(job.sTime));
    query.bindValue(QStringLiteral(":eTime"), dateTimeValue(job.eTime));
    query.bindValue(QStringLiteral(":id"), job.id);
    return query.exec();
}

bool LocalModel::GetFinishedJobs(QList<DBT_Job>& out, int size)
{
    query.prepare(QStringLiteral("select * from T_Job where status = 3 order by id desc limit :size;"));
    query.bindValue(QStringLiteral(":size"), size);
    if (!query.exec())
        return false;
    while (query.next()) {
        DBT_Job job;
        ReadJob(job);
        out.append(job);
    }
    query.finish();
    return true;
}

bool LocalModel::AddJobDetail(DBT_JobDetail& detail)
{
    query.prepare(QStringLiteral("insert into T_JobDetail (jobId,tcId,seqIdx,status,content) values "
                                 "(:jobId, :tcId, :seqIdx, :status, :content);"));
    query.bindValue(QStringLiteral(":jobId"), detail.jobId);
    query.bindValue(QStringLiteral(":tcId"), detail.tcId);
    query.bindValue(QStringLiteral(":seqIdx"), detail.seqIdx);
    query.bindValue(QStringLiteral(":status"), detail.status);
    query.bindValue(QStringLiteral(":content"), detail.content);
    if (!query.exec())
        return false;
    detail.id = query.lastInsertId().toInt();
    return true;
}

bool LocalModel::GetJobDetails(const DBT_Job& job, QList<DBT_JobDetail>& out)
{
    query.prepare(QStringLiteral("select * from T_JobDetail where jobId = :jobId order by seqIdx;"));
    query.bindValue(QStringLiteral(":jobId"), job.id);
    if (!query.exec())
        return false;
    // Reading a test case reuses the query, so collect the details first.
    const int first = out.size();
    DBT_JobDetail detail;
    while (query.next()) {
        ReadJobDetail(detail);
        out.append(detail);
    }
    for (int i = first; i < out.size(); ++i) {
        out[i].testcase = std::make_shared<DBT_Testcase>(out[i].tcId);
        if (!GetTestcase(*out[i].testcase))
            return false;
    }
    return true;
}
