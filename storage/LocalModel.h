#pragma once

#include "local/DBT_Job.h"
#include "local/DBT_JobDetail.h"
#include "local/DBT_Plan.h"
#include "local/DBT_Testcase.h"
#include "storage/SqlDialect.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QList>
#include <QVariantMap>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QVector>

#include <functional>

struct sqlite3;

// The test-management database: by default the host's Data/autotest.db3
// below the application directory, in WAL mode with an index for every
// lookup; the server opens a file or a PostgreSQL database of its choice,
// one model per thread, each on a connection of its own (SqlDialect holds
// what differs between the two). All
// statements go through one query object, so an operation must finish before
// the next starts. Reads release their statement once the rows are mapped, so
// that no read transaction outlives an operation (an open one would keep
// checkpoints from emptying the log). Changes of several rows that belong
// together run in one transaction.
class LocalModel
{
public:
    LocalModel() = default;
    ~LocalModel();
    LocalModel(const LocalModel&) = delete;
    LocalModel& operator=(const LocalModel&) = delete;

    bool Open();
    // A SQLite file or a "postgresql://" URL, under a connection name that no
    // other model in the process uses.
    bool Open(const QString& database, const QString& connectionName);
    void Close();
    // False when the connection has gone (the database server restarted).
    bool Reachable();
    // Why the connection failed to open or was lost.
    QString ConnectionErrorText() const { return db.lastError().text(); }
    const SqlDialect& Dialect() const { return dialect; }
    bool IsOpen() const { return db.isOpen(); }
    QString LastErrorText() const;
    // Reads that make a reply fail once its text would pass this many bytes
    // (0 = no limit): lists of test cases (a page, a plan's list) and a job's
    // details as their rows are read, before they are all in memory; a single
    // test case or plan from the size of its text before it is read, on
    // SQLite, and from what was read otherwise.
    void SetReadLimit(qint64 bytes) { readLimit = bytes; }
    // A statement that runs, or waits for a lock, longer than this is
    // stopped and fails (0: no limit); the connection stays usable. Takes
    // effect now and at every later Open.
    void SetStatementTimeout(int ms);
    static QString FilePath();

    bool AddTestcase(DBT_Testcase& tc);
    bool DeleteTestcase(const DBT_Testcase& tc);
    // With `contentUtf8`, the content comes there as the database holds it
    // when that is plain UTF-8 (it then reads back exactly as stored), and
    // tc.content stays empty: a reply can be written from it without a copy
    // in UTF-16. Otherwise the content is in tc.content.
    bool GetTestcase(DBT_Testcase& tc, QByteArray* contentUtf8 = nullptr);
    bool UpdateTestcase(const DBT_Testcase& tc);
    bool QueryTestcases(int page, int pageSz, QString path, QList<DBT_Testcase>& out, int& total);
    // A page of the test cases that hold `text` in their title or path
    // (ASCII case ignored, % and _ as themselves) or whose id it is, within
    // the path prefix `path` as QueryTestcases reads it, in its order. An
    // empty text finds every test case.
    bool SearchTestcases(int page, int pageSz, const QString& path, const QString& text, QList<DBT_Testcase>& out, int& total);

    bool AddPlan(DBT_Plan& plan);
    bool DeletePlan(const DBT_Plan& plan);
    bool GetPlan(DBT_Plan& plan);
    bool UpdatePlan(const DBT_Plan& plan);
    bool QueryPlans(int page, int pageSz, QString tag, QList<DBT_Plan>& out, int& total);
    // Which plans SearchPlans lists: those of one tag or all, narrowed to
    // those whose name holds `text` (as SearchTestcases reads it) or whose id it is.
    struct PlanSearch
    {
        bool byTag = false;
        QString tag;
        QString text;
    };
    // A page of plans by id; unlike QueryPlans, none found is no failure.
    bool SearchPlans(int page, int pageSz, const PlanSearch& search, QList<DBT_Plan>& out, int& total);
    bool GetPlanTestcases(const DBT_Plan& plan, QList<DBT_Testcase>& out);
    // Replaces the plan's list and reads it back into `stored`.
    bool SetPlanTestcases(const DBT_Plan& plan, const QList<uint>& tcIds, QList<DBT_Testcase>& stored);

    bool AddJob(DBT_Job& job);
    // Stores a new job and one running detail per id of its case list, in
    // one transaction.
    bool StartJob(DBT_Job& job);
    bool GetJob(DBT_Job& job);
    // Reads a job's case list and secret, which GetJob leaves out.
    bool JobSecrets(DBT_Job& job);
    bool UpdateJob(const DBT_Job& job);
    // Stores a job's end and verdict only while it is still running (or,
    // with `takeLate`, was finished as "Station lost"); `finished` says
    // whether it was, so that of two reports of one job only the first counts.
    bool FinishJob(const DBT_Job& job, bool takeLate, bool& finished);
    // A finished case of a running job, found by its job and place.
    bool UpdateJobDetail(const DBT_JobDetail& detail);
    // A finished case stored whole, when its test case still exists.
    bool AddJobDetailOfCase(const DBT_JobDetail& detail);
    // What a progress report says beyond the verdicts.
    struct Progress
    {
        // Whether the job's "fin" counts the cases reported (a server's
        // jobs; a host's own keep what they were given until their end).
        bool countFinished = false;
        // Whether the job waits for its device: 1, 0, or -1 unchanged.
        int waiting = -1;
    };
    // The verdicts of the cases at `from` onwards, while the job runs; notes
    // that the job was heard of now. `running` says whether it ran.
    bool RecordProgress(int jobId, int from, const QList<CaseVerdict>& verdicts, const Progress& progress, bool& running);
    // Finishes the running jobs (those not heard of for `silentMs`, all when
    // it is negative) as failed for `reason`: cases that finished keep their
    // verdicts, the others are "not run". `ended` gets the ids of the jobs it ended.
    bool AbandonJobs(const QString& reason, int silentMs, QList<int>& ended);
    bool GetRunningJobs(QList<DBT_Job>& out);
    // The running jobs (status 2): how many wait for their device, and how
    // many were heard of within the last `heardMs` (their station alive).
    bool CountRunningJobs(qint64 heardMs, int& running, int& waiting, int& heard);
    // The queued jobs, and the stations that beat within `leaseMs`.
    bool CountLab(qint64 leaseMs, int& queued, int& online);
    bool GetFinishedJobs(QList<DBT_Job>& out, int size);
    bool AddJobDetail(DBT_JobDetail& detail);
    bool GetJobDetails(const DBT_Job& job, QList<DBT_JobDetail>& out);

    // One row of the audit table.
    struct AuditEntry
    {
        QString time;
        QString user;
        QString cmd;
        QString ids;
    };
    // `time` is ISO 8601 in UTC, `ids` a JSON object as text.
    bool AddAudit(const AuditEntry& entry);
    // A page of the audit table, newest first, and how many rows it has.
    bool QueryAudit(int page, int pageSz, QList<AuditEntry>& out, int& total);

    // A station (a host in mode "remote") as its last beat left it.
    struct StationRow
    {
        QString name;
        QString version;
        // UTC, "yyyy-MM-dd hh:mm:ss.zzz", as a job's "seen".
        QString lastSeen;
        // Whether the last beat came within the lease QueryLab was given.
        bool online = false;
    };
    // A device as its station's last beat listed it.
    struct DeviceRow
    {
        QString station;
        QString url;
        // A JSON array of strings, as text.
        QString tags;
        // "free" or "busy".
        QString state;
        // The job it runs; 0 for none.
        int jobId = 0;
    };
    // Notes that `station` beat now and replaces its devices with `devices`,
    // in one transaction.
    bool RecordBeat(const StationRow& station, const QList<DeviceRow>& devices);
    // The stations and their devices, unordered; a station is online when it
    // beat within the last `leaseMs`. Reads at most `maxStations` and
    // `maxDevices` rows: `complete` is false when there were more.
    bool QueryLab(qint64 leaseMs, int maxStations, int maxDevices, QList<StationRow>& stations, QList<DeviceRow>& devices,
                  bool& complete);

    // The lab's queue. QueueJob stores `job` with status 1, its priority and
    // what it asks for, queued now.
    bool QueueJob(DBT_Job& job);
    // The first `max` queued jobs in the order they run (priority, then
    // arrival), and (unless null) how many are queued in all.
    bool QueuedJobs(int max, QList<DBT_Job>& out, int* total = nullptr);
    // The first `max` queued jobs, in order, that fit `device` (its url and
    // its tags, a JSON array) of `station`.
    bool QueuedJobsFor(const QString& station, const QString& device, const QString& tags, int max, QList<DBT_Job>& out);
    // Notes beat `seq` of the station's process `boot`. `verdict`: Current,
    // Stale (an earlier beat of that process, or of the process before:
    // nothing of it is to change), or Conflict (the process before is back:
    // two processes take the station's name).
    enum BootVerdict { Current, Stale, Conflict };
    bool NoteBoot(const QString& station, const QString& boot, int seq, BootVerdict& verdict);
    // Hands queued job `job.id` to `device` of `station`, as taken by the
    // beat `seq` of the station's process `boot`: it runs from now with the
    // case list and secret in `job`, one running detail per case. `taken` is
    // false, with nothing changed, when the job is no longer queued or the
    // device already runs a job of the queue (another server took either).
    bool ClaimJob(const DBT_Job& job, const QString& station, const QString& device, const QString& boot, int seq,
                  bool& taken);
    // A running job as the queue knows it.
    struct StationJob
    {
        int id = 0;
        // Empty for a job that did not come from the queue.
        QString device;
        QString boot;
        int seq = 0;
        // 0, 1 (asked for), 2 (the station was told).
        int cancel = 0;
        // Whether the station posted news of it.
        bool heard = false;
    };
    bool StationJobs(const QString& station, QList<StationJob>& out);
    // Puts a job handed to `station` back in the queue as it was, when its
    // station never got it; `done` says whether it was still running there.
    bool RequeueJob(int id, const QString& station, bool& done);
    // Notes that running job `id`, started otherwise, runs on `station`.
    bool TieJob(int id, const QString& station);
    // The status of each job of `ids` that exists.
    bool JobStatuses(const QList<int>& ids, QHash<int, int>& out);
    // Cancels job `id`: a queued one ends at once ("Cancelled"), a running
    // one is marked for its station to cancel. `status` is the job's status
    // before (0 when there is no such job), `station` where it runs.
    bool CancelJob(int id, int& status, QString& station);
    // Notes that the stations of `ids` were told to cancel them.
    bool CancelsSent(const QList<int>& ids);
    // Ends queued job `id` as failed for `reason` before it ran; `ended`
    // says whether it was still queued.
    bool EndQueuedJob(int id, const QString& reason, bool& ended);
    // Finishes as failed for `reason` the running jobs of `station` handed
    // out under a boot other than `boot`, or (with an empty station) every
    // running job on a station whose last beat is older than `silentMs`.
    bool AbandonStationJobs(const QString& reason, const QString& station, const QString& boot, qint64 silentMs,
                            QList<int>& ended);
    // Finishes running job `id` as failed for `reason`.
    bool AbandonJob(int id, const QString& reason, QList<int>& ended);
    // Every running job, for the lab's view.
    bool RunningJobs(int max, QList<DBT_Job>& out);

    // A test case's verdict in a finished job, as "tc_history" lists it.
    struct TcRun
    {
        // Its job, place, plain result and verdict; no test case attached.
        DBT_JobDetail detail;
        int planId = 0;
        // Where the job ran; empty when it was not recorded.
        QString station;
        QString device;
        QDateTime started;
    };
    // The last `size` verdicts of test case `tcId` in finished jobs, newest
    // first (by the job's start, then job and place), read through the
    // detail's test-case index; `changed` is the test case's mTime. `exists`
    // is false, and `out` left empty, when there is no such test case.
    bool QueryTcHistory(int tcId, int size, QList<TcRun>& out, QDateTime& changed, bool& exists);

    // Groups the operations between Begin and Commit so that they apply
    // whole or not at all. Rollback keeps LastErrorText as the failed
    // operation left it. Inside a transaction they nest as savepoints, so
    // that a caller can hold a change and what goes with it (its audit row)
    // in one transaction around operations that have their own.
    bool BeginTransaction();
    bool CommitTransaction();
    void RollbackTransaction();
    bool InTransaction() const { return transactionDepth > 0; }

private:
    bool Run(const QString& statement);
    // Finishes the running jobs that `where` (a condition on T_Job, with
    // `binds`) selects, as AbandonJobs does.
    bool AbandonWhere(const QString& reason, const QString& where, const QVariantMap& binds, QList<int>& ended);
    // Runs the count `statement` (its values bound by `bind`) of a paged
    // listing: `total` rows, `offset` of `page`, `any` when the page has rows.
    bool CountPage(const QString& statement, const std::function<void()>& bind, int page, int pageSz, int& total, qint64& offset,
                   bool& any);
    // Starts the deadline of the statement about to run.
    void StartStatement();
    bool ApplyStatementTimeout();
    static int OnSqliteProgress(void* model);
    // Fills a column just added to an older database from what its rows say.
    bool Backfill(const SqlDialect::Column& column);
    // Runs the prepared insert and reads the new row's id.
    bool InsertedId(int& id);
    // Makes `statement` the query's statement. Compiling one costs about as
    // much as running a small one, so each text is compiled once per
    // connection and kept; the model has a few dozen.
    void Prepare(const QString& statement);
    // Where the columns are in the rows of the prepared statement in use,
    // once read (null for a statement run once).
    QVector<int>* KnownColumns();
    // The fields that both insert and update write.
    void BindTestcaseFields(const DBT_Testcase& tc);
    // Reads every row of the executed query; false past the read limit.
    bool ReadTestcases(QList<DBT_Testcase>& out);
    // One record, refused past `limit` bytes of reply (0 = no limit).
    bool ReadTestcase(DBT_Testcase& tc, qint64 limit, QByteArray* contentUtf8 = nullptr);
    bool ReadPlan(DBT_Plan& plan, qint64 limit);
    // False, with the refusal, when `bytes` of reply pass `limit`.
    bool TestcaseFits(DBT_Testcase& tc, qint64 bytes, qint64 limit);
    sqlite3* SqliteHandle() const;
    static bool PlainUtf8(const QByteArray& text);
    // Whether the text columns of one row (`textBytes`, their UTF-8 size as
    // SQL) plus `keyBytes` fit `limit`; false with the refusal otherwise.
    bool TextFits(const QString& table, const QString& textBytes, int id, qint64 keyBytes, qint64 limit);

    SqlDialect dialect;
    QString connection;
    QSqlDatabase db;
    QSqlQuery query;
    QHash<QString, QSqlQuery> prepared;
    QHash<QString, QVector<int>> columns;
    // The text of the statement in use, when it was prepared.
    QString current;
    // Until Open binds the query to the connection, its error (the missing
    // default connection) says nothing about this database.
    bool queryBound = false;
    qint64 readLimit = 0;
    int statementTimeoutMs = 0;
    // BeginTransaction's that have not ended; beyond the first, savepoints.
    int transactionDepth = 0;
    QDeadlineTimer statementDeadline;
    // The last statement was stopped at its deadline (SQLite says only "interrupted").
    bool deadlinePassed = false;
    // Why the last read stopped: at the limit, or reading SQLite directly;
    // given out once.
    mutable QString limitError;
};
