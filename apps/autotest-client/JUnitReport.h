#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>

// Job records as JUnit XML, the form CI systems read: one <testsuite> per job,
// one <testcase> per test case and one for the job's own verdict. The console
// writes the same bytes from the same records (console/js/report.js), so the
// layout and escaping are written here by hand; docs/verdicts.md describes them.
class JUnitReport
{
public:
    // A case that failed or ended in error, with the message its element carries.
    struct Problem
    {
        QString name;
        bool error = false;
        QString message;
    };
    // One job as its <testsuite> counts it, the job-level case included.
    struct JobSummary
    {
        QString jobId;
        int passed = 0;
        int failed = 0;
        int errors = 0;
        int skipped = 0;
        // The sum of the cases' times; the XML writes it as seconds.
        qint64 ms = 0;
        // The job-level case's outcome ("pass", "fail", "error" or "running"),
        // counted above and, unless it passed, the last of `problems`.
        QString jobStatus;
        QList<Problem> problems;
    };

    // A "job_detail" reply asked with "verdicts": true. False, adding nothing,
    // when it has no "jobdetail" array (an error reply).
    bool AddJobRecords(const QJsonObject& reply);
    // An "ExecuteJob" report ("VALUE") with its request's "case_list", the job
    // having started at `started`: written as the records the job would have.
    void AddJobReport(const QJsonObject& reportValue, const QJsonArray& caseList, const QDateTime& started);

    int SuiteCount() const { return int(suites.size()); }
    QList<JobSummary> Jobs() const;
    // The job added last; empty when there is none.
    JobSummary LastJob() const { return suites.isEmpty() ? JobSummary() : suites.constLast().summary; }
    // Whether any case failed or ended in error, or a job's own verdict was false.
    bool AnyFailed() const;
    QByteArray ToXml() const;
    bool Write(const QString& path, QString& errorText) const;

private:
    struct Suite
    {
        JobSummary summary;
        // The <testsuite> element, indented and ending in a line feed.
        QString xml;
    };

    QList<Suite> suites;
};
