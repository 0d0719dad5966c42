#pragma once

#include <QDateTime>
#include <QString>

// One stored test case; the field names are the column names.
struct DBT_Testcase
{
    DBT_Testcase() = default;
    explicit DBT_Testcase(int testcaseId) : id(testcaseId) {}

    int id = 0;
    int projId = 0;
    int timeout = 0;
    QString title;
    QString path;
    QString author;
    QString remark;
    QString hw;
    QString sw;
    QString constraints;
    QString tags;
    // A JSON object as text: what to set on the device and how to judge it.
    QString content;
    QDateTime date;
    QDateTime mTime;
};
