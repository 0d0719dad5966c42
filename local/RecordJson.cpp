#include "local/RecordJson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

#include <cmath>
#include <cstdio>
#include <limits>

namespace {

QString timeText(const QDateTime& time)
{
    return time.isNull() ? QString(QLatin1String("")) : time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

QJsonValue text(const QString& value)
{
    return value.isNull() ? QJsonValue(QLatin1String("")) : QJsonValue(value);
}

// The list writer below spells out each record as JSON text; these append
// one value. Every character outside printable ASCII is escaped as \uXXXX, so
// that the parser gives back exactly the UTF-16 units, unpaired surrogates too.
bool appendText(QByteArray& out, const QString& value)
{
    static const char hex[] = "0123456789abcdef";
    // Room for the worst case first, written through a pointer: appending
    // byte by byte costs more than the parse that follows.
    const int at = out.size();
    const qint64 worst = at + qint64(value.size()) * 6 + 2;
    if (worst > std::numeric_limits<int>::max() / 2)
        return false;
    if (out.capacity() < worst)
        out.reserve(int(qMax(worst, qint64(out.capacity()) * 2)));
    out.resize(int(worst));
    char* cursor = out.data() + at;
    *cursor++ = '"';
    for (const QChar c : value) {
        const ushort u = c.unicode();
        if (u >= 0x20 && u < 0x7f && u != '"' && u != '\\') {
            *cursor++ = char(u);
        } else if (u == '"' || u == '\\') {
            *cursor++ = '\\';
            *cursor++ = char(u);
        } else {
            *cursor++ = '\\';
            *cursor++ = 'u';
            *cursor++ = hex[u >> 12];
            *cursor++ = hex[(u >> 8) & 0xf];
            *cursor++ = hex[(u >> 4) & 0xf];
            *cursor++ = hex[u & 0xf];
        }
    }
    *cursor++ = '"';
    out.resize(int(cursor - out.constData()));
    return true;
}

void appendTime(QByteArray& out, const QDateTime& time)
{
    const QDate date = time.isValid() ? time.date() : QDate();
    if (!date.isValid() || date.year() < 1000 || date.year() > 9999) {
        appendText(out, timeText(time));
        return;
    }
    const QTime clock = time.time();
    const int fields[] = {date.year() / 100, date.year() % 100, date.month(), date.day(),
                          clock.hour(), clock.minute(), clock.second()};
    // "yyyy-MM-dd hh:mm:ss" in quotes, two digits at a time.
    char formatted[] = "\"0000-00-00 00:00:00\"";
    static const int at[] = {1, 3, 6, 9, 12, 15, 18};
    for (int i = 0; i < 7; ++i) {
        formatted[at[i]] = char('0' + fields[i] / 10);
        formatted[at[i] + 1] = char('0' + fields[i] % 10);
    }
    out.append(formatted, sizeof formatted - 1);
}

void appendField(QByteArray& out, const char* key, int value)
{
    char number[16];
    out += key;
    out.append(number, std::snprintf(number, sizeof number, "%d", value));
}

bool appendField(QByteArray& out, const char* key, const QString& value)
{
    out += key;
    return appendText(out, value);
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

QJsonArray TestcasesToJson(const QList<DBT_Testcase>& testcases)
{
    // Inserting value by value costs an allocation or more per value; the
    // parser fills each object in one pass, about three times as fast for a
    // long list. Keys are written as TestcaseToJson writes them.
    QByteArray text;
    text.reserve(testcases.size() * 320 + 2);
    text += '[';
    bool written = true;
    for (const DBT_Testcase& tc : testcases) {
        if (text.size() > 1)
            text += ',';
        appendField(text, "{\"testcaseid\":", tc.id);
        appendField(text, ",\"projectid\":", tc.projId);
        appendField(text, ",\"timeout\":", tc.timeout);
        written = written && appendField(text, ",\"title\":", tc.title) && appendField(text, ",\"path\":", tc.path)
                  && appendField(text, ",\"author\":", tc.author) && appendField(text, ",\"remark\":", tc.remark)
                  && appendField(text, ",\"hw\":", tc.hw) && appendField(text, ",\"sw\":", tc.sw)
                  && appendField(text, ",\"constraints\":", tc.constraints) && appendField(text, ",\"tags\":", tc.tags)
                  && appendField(text, ",\"content\":", tc.content);
        if (!written)
            break;
        text += ",\"date\":";
        appendTime(text, tc.date);
        text += ",\"mtime\":";
        appendTime(text, tc.mTime);
        text += '}';
    }
    text += ']';
    QJsonParseError error;
    const QJsonDocument document = written ? QJsonDocument::fromJson(text, &error) : QJsonDocument();
    if (written && error.error == QJsonParseError::NoError)
        return document.array();
    // Texts too long for one buffer go the slow way.
    return RecordsToJson<DBT_Testcase, TestcaseToJson>(testcases);
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
    // Only a job of the lab has these: every other job's form is as it was.
    if (!job.queued.isEmpty()) {
        out.insert(QStringLiteral("priority"), job.priority);
        if (!job.queueTags.isEmpty())
            out.insert(QStringLiteral("tags"), QJsonDocument::fromJson(job.queueTags.toUtf8()).array());
        if (!job.queueDevice.isEmpty())
            out.insert(QStringLiteral("queue_device"), job.queueDevice);
        if (!job.queueStation.isEmpty())
            out.insert(QStringLiteral("queue_station"), job.queueStation);
    }
    if (!job.station.isEmpty())
        out.insert(QStringLiteral("station"), job.station);
    if (!job.device.isEmpty())
        out.insert(QStringLiteral("device"), job.device);
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

void JobToJsonWithVerdict(const DBT_Job& job, QJsonObject& out)
{
    JobToJson(job, out);
    out.insert(QStringLiteral("verdict"), job.verdict.ToJson());
}

void JobDetailToJsonWithVerdict(const DBT_JobDetail& detail, QJsonObject& out)
{
    JobDetailToJson(detail, out);
    // A detail stored before verdicts were kept says only pass or fail, and
    // what its remark tells.
    CaseVerdict verdict = detail.verdict;
    if (verdict.status.isEmpty()) {
        if (detail.status == QLatin1String("running"))
            verdict = CaseVerdict::Of(detail.status);
        else if (detail.content == QLatin1String("not run") || detail.content == QLatin1String("job fail"))
            verdict = CaseVerdict::Of(QStringLiteral("not run"));
        else
            verdict = CaseVerdict::OfEntry({{QStringLiteral("result"), detail.status == QLatin1String("pass")},
                                            {QStringLiteral("remark"), detail.content}});
    }
    out.insert(QStringLiteral("verdict"), verdict.ToJson());
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

bool IntegerIn(const QJsonValue& value, int low, int high, int& out)
{
    const double number = value.toDouble(0.5);
    if (!value.isDouble() || number < low || number > high || number != std::floor(number))
        return false;
    out = int(number);
    return true;
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
