#pragma once

#include "local/DBT_Job.h"
#include "local/DBT_JobDetail.h"
#include "local/DBT_Plan.h"
#include "local/DBT_Testcase.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

// Records to client JSON: keys are inserted into `out`, so a record can sit
// beside a reply's "result". Times are "yyyy-MM-dd hh:mm:ss", a null time "".
void TestcaseToJson(const DBT_Testcase& tc, QJsonObject& out);
// A list of records as an array of the objects `ToJson` writes.
template<class Record, void (*ToJson)(const Record&, QJsonObject&)>
QJsonArray RecordsToJson(const QList<Record>& records)
{
    QJsonArray array;
    for (const Record& record : records) {
        QJsonObject object;
        ToJson(record, object);
        array.append(object);
    }
    return array;
}

// The same objects as TestcaseToJson gives, for a whole list at once.
QJsonArray TestcasesToJson(const QList<DBT_Testcase>& testcases);
void PlanToJson(const DBT_Plan& plan, QJsonObject& out);
void JobToJson(const DBT_Job& job, QJsonObject& out);
// The detail's keys, then its test case's keys, whose "content" wins.
void JobDetailToJson(const DBT_JobDetail& detail, QJsonObject& out);
// The same with "verdict", for requests that ask for verdicts.
void JobToJsonWithVerdict(const DBT_Job& job, QJsonObject& out);
void JobDetailToJsonWithVerdict(const DBT_JobDetail& detail, QJsonObject& out);

// Client JSON to records: only keys present in `in` change a field, so a
// second object can override the first.
void JsonToTestcase(const QJsonObject& in, DBT_Testcase& tc);
void JsonToPlan(const QJsonObject& in, DBT_Plan& plan);
void JsonToJob(const QJsonObject& in, DBT_Job& job);

// Parses in["content"] as the text of a JSON object.
bool ParseContent(const QJsonObject& in, QJsonObject& out, QString& error);

// An integral JSON number from `low` to `high` into `out`; anything else (a
// string, a fraction, a number beyond int) is false and leaves `out`.
bool IntegerIn(const QJsonValue& value, int low, int high, int& out);
