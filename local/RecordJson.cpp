#include "local/RecordJson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

namespace {

QString timeText(const QDateTime& time)
{
    return time.isNull() ? QString(QLatin1String("")) : time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

QJsonValue text(const QString& value)
{
    return value.isNull() ? QJsonValue(QLatin1String("")) : QJsonValue(value);
}

void readInt(const QJsonObject& in, const char* key, int& field)
{
    const auto it = in.constFind(QLatin1String(key));
    if (it != in.constEnd())
        field = it.value().toInt(0);
}

void readText(const QJsonObject& in, const char* key, QString& field)
{
    const auto it = in.constFind(QLatin1String(key));
    if (it != in.constEnd())
        field = it.value().isString() ? it.value().toString() : QString();
}

} // namespace

void TestcaseToJson(const DBT_Testcase& tc, QJsonObject& out)
{
    out.insert(QStringLiteral("testcaseid"), tc.id);
    out.insert(QStringLiteral("projectid"), tc.projId);
    out.insert(QStringLiteral("timeout"), tc.timeout);
    out.insert(QStringLiteral("title"), text(tc.title));
    out.insert(QStringLiteral("path"), text(tc.path));
    out.insert(QStringLiteral("author"), text(tc.author));
    out.insert(QStringLiteral("remark"), text(tc.remark));
    out.insert(QStringLiteral("hw"), text(tc.hw));
    out.insert(QStringLiteral("sw"), text(tc.sw));
    out.insert(QStringLiteral("constraints"), text(tc.constraints));
    out.insert(QStringLiteral("tags"), text(tc.tags));
    out.insert(QStringLiteral("content"), text(tc.content));
    out.insert(QStringLiteral("date"), timeText(tc.date));
    out.insert(QStringLiteral("mtime"), timeText(tc.mTime));
}

void PlanToJson(const DBT_Plan& plan, QJsonObject& out)
{
    out.insert(QStringLiteral("planid"), plan.id);
    out.insert(QStringLiteral("projectid"), plan.projId);
    out.insert(QStringLiteral("name"), text(plan.name));
    out.insert(QStringLiteral("author"), text(plan.author));
    out.insert(QStringLiteral("remark"), text(plan.remark));
    out.insert(QStringLiteral("content"), text(plan.content));
    out.insert(QStringLiteral("ctime"), timeText(plan.cTime));
    out.insert(QStringLiteral("mtime"), timeText(plan.mTime));
    // Clients keep a list of tags; a plan stores one.
    out.insert(QStringLiteral("tags"), QJsonArray{text(plan.tag)});
}

void JobToJson(const DBT_Job& job, QJsonObject& out)
{
    out.insert(QStringLiteral("jobid"), job.id);
    out.insert(QStringLiteral("planid"), job.planId);
    out.insert(QStringLiteral("projectid"), job.projId);
    out.insert(QStringLiteral("total"), job.totalCnt);
    out.insert(QStringLiteral("fin"), job.finishCnt);
    out.insert(QStringLiteral("status"), job.status);
    out.insert(QStringLiteral("starter"), text(job.starter));
    out.insert(QStringLiteral("stime"), timeText(job.sTime));
    out.insert(QStringLiteral("ftime"), timeText(job.eTime));
}

void JobDetailToJson(const DBT_JobDetail& detail, QJsonObject& out)
{
    out.insert(QStringLiteral("jobdetailid"), detail.id);
    out.insert(QStringLiteral("seqidx"), detail.seqIdx);
    out.insert(QStringLiteral("status"), text(detail.status));
    out.insert(QStringLiteral("content"), text(detail.content));
    if (detail.testcase)
        TestcaseToJson(*detail.testcase, out);
}

void JsonToTestcase(const QJsonObject& in, DBT_Testcase& tc)
{
    readInt(in, "testcaseid", tc.id);
    readInt(in, "projectid", tc.projId);
    readInt(in, "timeout", tc.timeout);
    readText(in, "title", tc.title);
    readText(in, "path", tc.path);
    readText(in, "author", tc.author);
    readText(in, "remark", tc.remark);
    readText(in, "hw", tc.hw);
    readText(in, "sw", tc.sw);
    readText(in, "constraints", tc.constraints);
    readText(in, "tags", tc.tags);
    readText(in, "content", tc.content);
}

void JsonToPlan(const QJsonObject& in, DBT_Plan& plan)
{
    readInt(in, "planid", plan.id);
    readInt(in, "projectid", plan.projId);
    readText(in, "name", plan.name);
    readText(in, "author", plan.author);
    readText(in, "remark", plan.remark);
    readText(in, "content", plan.content);
    const auto tags = in.constFind(QLatin1String("tags"));
    if (tags != in.constEnd()) {
        const QJsonValue first = tags.value().toArray().at(0);
        plan.tag = first.isString() ? first.toString() : QString(QLatin1String(""));
    }
}

void JsonToJob(const QJsonObject& in, DBT_Job& job)
{
    readInt(in, "jobid", job.id);
    readInt(in, "planid", job.planId);
    readInt(in, "projectid", job.projId);
    readInt(in, "total", job.totalCnt);
    readInt(in, "fin", job.finishCnt);
    readInt(in, "status", job.status);
    readText(in, "starter", job.starter);
}

bool ParseContent(const QJsonObject& in, QJsonObject& out, QString& error)
{
    QJsonParseError parseError;
    const QJsonDocument document =
        QJsonDocument::fromJson(in.value(QStringLiteral("content")).toString().toUtf8(), &parseError);
    if (parseError.error == QJsonParseError::NoError && document.isObject()) {
        out = document.object();
        return true;
    }
    error = parseError.errorString();
    return false;
}
