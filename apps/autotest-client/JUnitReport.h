#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>

// Job reports as JUnit XML, the form CI systems read: one <testsuite> per job,
// one <testcase> per test case.
class JUnitReport
{
public:
    // A job's report: the "VALUE" of an "ExecuteJob" reply or of a "JobReport"
    // event. `titles` names test cases by id where known; `seconds` holds how
    // long each case took, in order, where known.
    void AddJobReport(const QJsonObject& report, const QHash<int, QString>& titles, const QList<double>& seconds);
    // A "job_detail" reply; anything else without "jobdetail" is ignored.
    void AddJobDetail(const QJsonObject& reply);

    int SuiteCount() const { return int(suites.size()); }
    // Whether any case failed or ended in error, or a job's own verdict was false.
    bool AnyFailed() const;
    QByteArray ToXml() const;
    bool Write(const QString& path, QString& errorText) const;

private:
    enum class Outcome { Passed, Failed, Error, Skipped };
    struct Case
    {
        QString name;
        Outcome outcome = Outcome::Passed;
        QString message;
        QString text;
        double seconds = 0;
    };
    struct Suite
    {
        QString name;
        QString classname;
        QDateTime timestamp;
        double seconds = 0;
        QList<QPair<QString, QString>> properties;
        QList<Case> cases;
        QString output;
        int Count(Outcome outcome) const;
    };

    // A case's outcome from its verdict and remark.
    static Case Judge(bool passed, const QString& remark);

    QList<Suite> suites;
};
