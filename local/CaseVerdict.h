#pragma once

#include <QJsonObject>
#include <QString>

// What became of one test case of a job, as the job's record keeps it:
// "pass", "fail" (the script said no), "error" (the case could not be
// judged), "not run" or "running"; its own remark, and how long it took
// without its post-delay (-1 when unknown).
struct CaseVerdict
{
    QString status;
    QString remark;
    int ms = -1;

    QJsonObject ToJson() const;
    static CaseVerdict FromJson(const QJsonObject& verdict);
    static CaseVerdict Of(const QString& status, const QString& remark = QString(), int ms = -1);
    // A report entry's verdict: its "verdict" member when it has one, else
    // judged from "result" and "remark" as a report without verdicts (an
    // older station) gives them.
    static CaseVerdict OfEntry(const QJsonObject& entry);
    // Whether a failed check's remark says the case could not be judged.
    static bool IsErrorRemark(const QString& remark);
};
