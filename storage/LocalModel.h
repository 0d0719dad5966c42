#pragma once

#include "local/DBT_Job.h"
#include "local/DBT_JobDetail.h"
#include "local/DBT_Plan.h"
#include "local/DBT_Testcase.h"

#include <QList>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

// The local test-management database: Data/autotest.db3 below the
// application directory. One statement per operation, all through one query
// object, so an operation must finish before the next starts. Reads release
// their statement once the rows are mapped, so that no read lock on the file
// outlives an operation and other processes can write to it.
class LocalModel
{
public:
    LocalModel() = default;
    ~LocalModel();
    LocalModel(const LocalModel&) = delete;
    LocalModel& operator=(const LocalModel&) = delete;

    bool Open();
    void Close();
    bool IsOpen() const { return db.isOpen(); }
    QString LastErrorText() const;
    // Reads of many test cases (a page, a plan's list) fail once the rows'
    // text passes this many bytes, before it is all in memory; 0 = no limit.
    void SetReadLimit(qint64 bytes) { readLimit = bytes; }
    static QString FilePath();

    bool AddTestcase(DBT_Testcase& tc);
    bool DeleteTestcase(const DBT_Testcase& tc);
    bool GetTestcase(DBT_Testcase& tc);
    bool UpdateTestcase(const DBT_Testcase& tc);
    bool QueryTestcases(int page, int pageSz, QString path, QList<DBT_Testcase>& out, int& total);

    bool AddPlan(DBT_Plan& plan);
    bool DeletePlan(const DBT_Plan& plan);
    bool GetPlan(DBT_Plan& plan);
    bool UpdatePlan(const DBT_Plan& plan);
    bool QueryPlans(int page, int pageSz, QString tag, QList<DBT_Plan>& out, int& total);
    bool GetPlanTestcases(const DBT_Plan& plan, QList<DBT_Testcase>& out);
    bool SetPlanTestcases(const DBT_Plan& plan, const QList<uint>& tcIds);

    bool AddJob(DBT_Job& job);
    bool GetJob(DBT_Job& job);
    bool UpdateJob(const DBT_Job& job);
    bool GetFinishedJobs(QList<DBT_Job>& out, int size);
    bool AddJobDetail(DBT_JobDetail& detail);
    bool GetJobDetails(const DBT_Job& job, QList<DBT_JobDetail>& out);

private:
    bool Run(const QString& statement);
    // The fields that both insert and update write.
    void BindTestcaseFields(const DBT_Testcase& tc);
    void ReadTestcase(DBT_Testcase& tc) const;
    // Reads every row of the executed query; false past the read limit.
    bool ReadTestcases(QList<DBT_Testcase>& out);
    void ReadPlan(DBT_Plan& plan) const;
    void ReadJob(DBT_Job& job) const;
    void ReadJobDetail(DBT_JobDetail& detail) const;

    QSqlDatabase db;
    QSqlQuery query;
    // Until Open binds the query to the connection, its error (the missing
    // default connection) says nothing about this database.
    bool queryBound = false;
    qint64 readLimit = 0;
    // Why the last read stopped at the limit; given out once.
    mutable QString limitError;
};
