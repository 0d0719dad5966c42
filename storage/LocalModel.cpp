#include "storage/LocalModel.h"

#include "base/JsonText.h"

#include "local/TextCheck.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QHash>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlRecord>
#include <QStringList>
#include <QVariant>

#include <sqlite3.h>

#include <array>
#include <iterator>
#include <utility>

namespace {

const char* const kConnection = "AutoTest";
// Room left in a reply for what surrounds a list of test cases.
constexpr qint64 kReplyReserve = 4096;

const char* const kTestcaseColumns[] = {"id", "projId", "timeout", "title", "path", "author", "remark",
                                        "hw", "sw", "constraints", "tags", "content", "date", "mTime"};
const char* const kPlanColumns[] = {"id", "projId", "name", "author", "cTime", "mTime", "remark", "tag", "content"};
// A job's case list and secret are read only where they are needed
// (JobSecrets): a listing of jobs would carry every list along.
const char* const kJobColumns[] = {"id", "planId", "projId", "totalCnt", "finishCnt", "status", "starter", "sTime", "eTime",
                                   "vResult", "vRemark", "vReason", "waiting", "priority", "qTags", "qDevice",
                                   "qStation", "qTime", "station", "device"};
const char* const kJobDetailColumns[] = {"id", "jobId", "tcId", "seqIdx", "status", "content", "vStatus", "vRemark", "vMs"};
const char* const kJobSelect = "select id, planId, projId, totalCnt, finishCnt, status, starter, sTime, eTime, vResult, vRemark, "
                               "vReason, waiting, priority, qTags, qDevice, qStation, qTime, station, device from T_Job";

// Where each named column is in the rows of the query's statement. Looking a
// column up by name scans the row's fields for every value read; finding the
// positions once per statement makes long listings several times faster.
// The record itself costs more than a short read (a field, a name and a
// type per column), so `known`, the positions kept for the statement,
// answers from the second time on.
template<std::size_t N>
std::array<int, N> columnsOf(const QSqlQuery& query, const char* const (&names)[N], QVector<int>* known = nullptr)
{
    std::array<int, N> at{};
    if (known && known->size() == int(N)) {
        std::copy(known->cbegin(), known->cend(), at.begin());
        return at;
    }
    const QSqlRecord record = query.record();
    for (std::size_t i = 0; i < N; ++i)
        at[i] = record.indexOf(QLatin1String(names[i]));
    if (known)
        *known = QVector<int>(at.cbegin(), at.cend());
    return at;
}

// Turning a stored local time into a QDateTime asks the C library for the
// offset, and glibc (with TZ unset) stats /etc/localtime on every such call:
// about 12 us, most of the cost of reading a test case. The rows of one
// listing often share their times (a library imported at once), so each
// distinct text is converted once per statement.
class TimeMemo
{
public:
    QDateTime operator()(const QVariant& value)
    {
        if (value.type() != QVariant::String)
            return value.toDateTime();
        const QString text = value.toString();
        auto known = times.constFind(text);
        if (known == times.constEnd())
            known = times.insert(text, value.toDateTime());
        return known.value();
    }

private:
    QHash<QString, QDateTime> times;
};

using TestcaseColumns = std::array<int, std::size(kTestcaseColumns)>;
using PlanColumns = std::array<int, std::size(kPlanColumns)>;
using JobColumns = std::array<int, std::size(kJobColumns)>;
using JobDetailColumns = std::array<int, std::size(kJobDetailColumns)>;

void readTestcase(const QSqlQuery& query, const TestcaseColumns& at, TimeMemo& times, DBT_Testcase& tc)
{
    tc.id = query.value(at[0]).toInt();
    tc.projId = query.value(at[1]).toInt();
    tc.timeout = query.value(at[2]).toInt();
    tc.title = query.value(at[3]).toString();
    tc.path = query.value(at[4]).toString();
    tc.author = query.value(at[5]).toString();
    tc.remark = query.value(at[6]).toString();
    tc.hw = query.value(at[7]).toString();
    tc.sw = query.value(at[8]).toString();
    tc.constraints = query.value(at[9]).toString();
    tc.tags = query.value(at[10]).toString();
    tc.content = query.value(at[11]).toString();
    tc.date = times(query.value(at[12]));
    tc.mTime = times(query.value(at[13]));
}

void readPlan(const QSqlQuery& query, const PlanColumns& at, TimeMemo& times, DBT_Plan& plan)
{
    plan.id = query.value(at[0]).toInt();
    plan.projId = query.value(at[1]).toInt();
    plan.name = query.value(at[2]).toString();
    plan.author = query.value(at[3]).toString();
    plan.cTime = times(query.value(at[4]));
    plan.mTime = times(query.value(at[5]));
    plan.remark = query.value(at[6]).toString();
    plan.tag = query.value(at[7]).toString();
    plan.content = query.value(at[8]).toString();
}

void readJob(const QSqlQuery& query, const JobColumns& at, TimeMemo& times, DBT_Job& job)
{
    job.id = query.value(at[0]).toInt();
    job.planId = query.value(at[1]).toInt();
    job.projId = query.value(at[2]).toInt();
    job.totalCnt = query.value(at[3]).toInt();
    job.finishCnt = query.value(at[4]).toInt();
    job.status = query.value(at[5]).toInt();
    job.starter = query.value(at[6]).toString();
    job.sTime = times(query.value(at[7]));
    job.eTime = times(query.value(at[8]));
    const QVariant result = query.value(at[9]);
    job.verdict.result = result.isNull() ? JobVerdict::Unknown : result.toInt() ? JobVerdict::Passed : JobVerdict::Failed;
    job.verdict.remark = query.value(at[10]).toString();
    job.verdict.reason = query.value(at[11]).toString();
    job.waiting = query.value(at[12]).toInt() != 0;
    job.priority = query.value(at[13]).toInt();
    job.queueTags = query.value(at[14]).toString();
    job.queueDevice = query.value(at[15]).toString();
    job.queueStation = query.value(at[16]).toString();
    job.queued = query.value(at[17]).toString();
    job.station = query.value(at[18]).toString();
    job.device = query.value(at[19]).toString();
}

void readJobDetail(const QSqlQuery& query, const JobDetailColumns& at, TimeMemo&, DBT_JobDetail& detail)
{
    detail.id = query.value(at[0]).toInt();
    detail.jobId = query.value(at[1]).toInt();
    detail.tcId = query.value(at[2]).toInt();
    detail.seqIdx = query.value(at[3]).toInt();
    detail.status = query.value(at[4]).toString();
    detail.content = query.value(at[5]).toString();
    detail.verdict.status = query.value(at[6]).toString();
    detail.verdict.remark = query.value(at[7]).toString();
    const QVariant ms = query.value(at[8]);
    detail.verdict.ms = ms.isNull() ? -1 : ms.toInt();
}

// The bytes `text` takes as a JSON string in a reply, quotes included: the
// client's reply is bounded in these, so a read that must fit one counts the
// same way (a multi-byte character or an escaped one counts for more than
// one unit of the string).
qint64 jsonBytes(const QString& text)
{
    qint64 bytes = 2;
    const int size = text.size();
    for (int i = 0; i < size; ++i) {
        const ushort c = text.at(i).unicode();
        if (c == '"' || c == '\\' || c == '\b' || c == '\f' || c == '\n' || c == '\r' || c == '\t')
            bytes += 2;
        else if (c < 0x20)
            bytes += 6;
        else if (c < 0x80)
            bytes += 1;
        else if (c < 0x800)
            bytes += 2;
        else if (QChar::isHighSurrogate(c) && i + 1 < size && text.at(i + 1).isLowSurrogate())
            bytes += 4, ++i;
        else if (QChar::isSurrogate(c))
            bytes += 6;
        else
            bytes += 3;
    }
    return bytes;
}

// When a job was last heard of, as the text its column holds: UTC, so that a
// change of the clocks (daylight saving) does not make jobs look silent, and
// to the millisecond in a form that sorts as it compares.
QString seenNow(qint64 agoMs = 0)
{
    return QDateTime::currentDateTimeUtc().addMSecs(-agoMs).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
}

// Verdict texts are what scripts and devices said, kept whatever they hold
// (a NUL character or half a surrogate pair becomes U+FFFD, which either
// database keeps), and "" rather than NULL when empty.
QString nonNull(const QString& text)
{
    return text.isNull() ? QStringLiteral("") : TextCheck::Storable(text);
}

qint64 numberBytes(qint64 value)
{
    return QByteArray::number(value).size();
}

// A test case as a reply writes it: every key, its punctuation and the
// values (a time takes 21 bytes with its quotes, or 2 when it is null).
qint64 testcaseBytes(const DBT_Testcase& tc)
{
    // {"author":,"constraints":,"content":,"date":,"hw":,"mtime":,"path":,"projectid":,
    //  "remark":,"sw":,"tags":,"testcaseid":,"timeout":,"title":} and the comma before it
    constexpr qint64 keys = 140;
    return keys + jsonBytes(tc.title) + jsonBytes(tc.path) + jsonBytes(tc.author) + jsonBytes(tc.remark) + jsonBytes(tc.hw)
        + jsonBytes(tc.sw) + jsonBytes(tc.constraints) + jsonBytes(tc.tags) + jsonBytes(tc.content)
        + numberBytes(tc.id) + numberBytes(tc.projId) + numberBytes(tc.timeout) + (tc.date.isValid() ? 21 : 2)
        + (tc.mTime.isValid() ? 21 : 2);
}

// The key bytes of the objects PlanToJson writes, and more than the rest of
// what surrounds its values ("tags" is an array of one).
qint64 planBytes(const DBT_Plan& plan)
{
    constexpr qint64 keys = 79;
    return keys + jsonBytes(plan.name) + jsonBytes(plan.author) + jsonBytes(plan.remark) + jsonBytes(plan.content)
        + jsonBytes(plan.tag) + numberBytes(plan.id) + numberBytes(plan.projId) + (plan.cTime.isValid() ? 21 : 2)
        + (plan.mTime.isValid() ? 21 : 2);
}

// A detail as job_detail writes it: its test case's object and its own keys.
qint64 detailBytes(const DBT_JobDetail& detail)
{
    // ,"jobdetailid":,"seqidx":,"status":
    constexpr qint64 keys = 35;
    return keys + numberBytes(detail.id) + numberBytes(detail.seqIdx) + jsonBytes(detail.status)
        + (detail.testcase ? testcaseBytes(*detail.testcase) : 0);
}

// The text columns of the plan table, whose size a reply is made of.
const char* const kPlanTextColumns[] = {"name", "author", "remark", "tag", "content"};

// The UTF-8 bytes of a row's text columns as one SQLite expression, counted
// without converting the text.
template<std::size_t N>
QString utf8Bytes(const char* const (&columns)[N])
{
    QStringList terms;
    for (const char* column : columns)
        terms << QStringLiteral("coalesce(length(cast(%1 as blob)), 0)").arg(QLatin1String(column));
    return terms.join(QLatin1String(" + "));
}

QString tooLargeText(qint64 size, qint64 limit)
{
    // The words of the reply envelope's own refusal, which the same request
    // got when its reply was measured only once written.
    return QStringLiteral("Reply too large: about %1 bytes, more than the limit of %2 bytes").arg(size).arg(limit);
}

// Every row of the executed query, mapped and appended to `out`.
template<class Record, std::size_t N>
void readAll(QSqlQuery& query, const char* const (&names)[N],
             void (*read)(const QSqlQuery&, const std::array<int, N>&, TimeMemo&, Record&), QList<Record>& out,
             QVector<int>* known)
{
    const std::array<int, N> at = columnsOf(query, names, known);
    TimeMemo times;
    while (query.next()) {
        Record record;
        read(query, at, times, record);
        out.append(record);
    }
}

// The first row of the executed query into `record`; false without a row.
template<class Record, std::size_t N>
bool readFirst(QSqlQuery& query, const char* const (&names)[N],
               void (*read)(const QSqlQuery&, const std::array<int, N>&, TimeMemo&, Record&), Record& record,
               QVector<int>* known)
{
    if (!query.first())
        return false;
    TimeMemo times;
    read(query, columnsOf(query, names, known), times, record);
    return true;
}

// Text for a page of test cases: the ids of the page are found in the path
// index alone, and only those rows are read, so that a deep page skips index
// entries instead of whole rows.
QString testcasePage(const QString& where, const QString& order)
{
    return QStringLiteral("select * from T_Tc where id in (select id from T_Tc") + where + order
        + QStringLiteral(" limit :pageSz offset :offset)") + order;
}

} // namespace

LocalModel::~LocalModel()
{
    Close();
    prepared.clear();
    columns.clear();
    current.clear();
    query = QSqlQuery();
    db = QSqlDatabase();
    if (!connection.isEmpty())
        QSqlDatabase::removeDatabase(connection);
}

QString LocalModel::FilePath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/Data/autotest.db3");
}

bool LocalModel::Open()
{
    return Open(FilePath(), QLatin1String(kConnection));
}

bool LocalModel::Open(const QString& database, const QString& connectionName)
{
    // Opening again (after a lost connection) starts from a fresh one.
    Close();
    prepared.clear();
    columns.clear();
    current.clear();
    query = QSqlQuery();
    queryBound = false;
    db = QSqlDatabase();
    if (!connection.isEmpty())
        QSqlDatabase::removeDatabase(connection);
    dialect = SqlDialect::ForDatabase(database);
    connection = connectionName;
    db = QSqlDatabase::addDatabase(dialect.DriverName(), connection);
    QString error;
    if (!dialect.Configure(db, database, error)) {
        limitError = error;
        return false;
    }
    if (!db.open())
        return false;
    query = QSqlQuery(db);
    queryBound = true;
    const QString lock = dialect.SchemaLock();
    if (!lock.isEmpty() && !(Run(dialect.Begin()) && Run(lock)))
        return false;
    for (const QString& statement : dialect.Schema()) {
        if (!Run(statement))
            return false;
    }
    // A database made by an older version gains the newer columns; its rows
    // keep what they hold, and the new columns are filled from them.
    QList<SqlDialect::Column> added;
    for (const SqlDialect::Column& column : dialect.AddedColumns()) {
        const QString probe = dialect.HasColumn(QLatin1String(column.table), QLatin1String(column.name));
        if (!probe.isEmpty()) {
            if (!Run(probe))
                return false;
            const bool present = query.next();
            query.finish();
            if (present)
                continue;
        }
        if (!Run(dialect.AddColumn(column)))
            return false;
        added.append(column);
    }
    for (const SqlDialect::Column& column : qAsConst(added)) {
        if (!Backfill(column))
            return false;
    }
    // WAL lets a commit skip the sync of the main file; with synchronous=NORMAL
    // the log is synced only at checkpoints, so a power cut may lose the last
    // commits but never leaves a damaged file. In the rollback journal that
    // setting could, so it applies only when the switch to WAL took effect (it
    // does not, for instance, while another process holds the file open in
    // the other mode).
    if (dialect.HasJournalModes() && Run(QStringLiteral("PRAGMA journal_mode=WAL;")) && query.first()
        && query.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) == 0) {
        query.finish();
        Run(QStringLiteral("PRAGMA synchronous=NORMAL;"));
    }
    for (const QString& statement : dialect.Tuning())
        Run(statement);
    if (!ApplyStatementTimeout())
        return false;
    for (const QString& statement : dialect.Indexes()) {
        if (!Run(statement))
            return false;
    }
    return lock.isEmpty() || Run(QStringLiteral("commit;"));
}

bool LocalModel::Backfill(const SqlDialect::Column& column)
{
    const QString name = QLatin1String(column.name);
    // Jobs running when the database gains the lease count from now.
    if (name == QLatin1String("seen")) {
        Prepare(QStringLiteral("update T_Job set seen = :seen where status = 2;"));
        query.bindValue(QStringLiteral(":seen"), seenNow());
        return query.exec();
    }
    // A finished job recorded before verdicts were kept passed when all its
    // cases did; one without a case reported failed as a whole.
    if (name == QLatin1String("vResult"))
        return Run(QStringLiteral(
            "update T_Job set vRemark = '', vReason = case when finishCnt = 0 then 'The job failed as a whole (recorded "
            "before reasons were kept)' else '' end, vResult = case when finishCnt = 0 or exists (select 1 from T_JobDetail d "
            "where d.jobId = T_Job.id and d.status <> 'pass') then 0 else 1 end where status = 3;"));
    return true;
}

bool LocalModel::Reachable()
{
    if (!db.isOpen())
        return false;
    QSqlQuery probe(db);
    return probe.exec(QStringLiteral("select 1;"));
}

void LocalModel::Close()
{
    transactionDepth = 0;
    if (db.isOpen()) {
        // Every statement goes before the connection: PostgreSQL's are
        // freed on the server, which needs the connection still open.
        query.finish();
        query = QSqlQuery();
        queryBound = false;
        prepared.clear();
        columns.clear();
        current.clear();
        db.close();
    }
}

void LocalModel::SetStatementTimeout(int ms)
{
    statementTimeoutMs = qMax(0, ms);
    if (db.isOpen())
        ApplyStatementTimeout();
}

bool LocalModel::ApplyStatementTimeout()
{
    if (dialect.Which() == SqlDialect::Postgres)
        return Run(QStringLiteral("set statement_timeout = %1;").arg(statementTimeoutMs));
    // SQLite has no timeout of its own: it asks a handler every so many
    // steps whether to go on, and waits for locks as long as busy_timeout says.
    const QVariant handle = db.driver()->handle();
    if (qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return false;
    sqlite3* connection = *static_cast<sqlite3* const*>(handle.data());
    sqlite3_progress_handler(connection, statementTimeoutMs > 0 ? 1000 : 0,
                             statementTimeoutMs > 0 ? &LocalModel::OnSqliteProgress : nullptr, this);
    return statementTimeoutMs <= 0 || Run(QStringLiteral("PRAGMA busy_timeout = %1;").arg(statementTimeoutMs));
}

int LocalModel::OnSqliteProgress(void* model)
{
    auto* self = static_cast<LocalModel*>(model);
    if (!self->statementDeadline.hasExpired())
        return 0;
    self->deadlinePassed = true;
    return 1;
}

void LocalModel::StartStatement()
{
    deadlinePassed = false;
    if (statementTimeoutMs > 0)
        statementDeadline.setRemainingTime(statementTimeoutMs);
    else
        statementDeadline = QDeadlineTimer(QDeadlineTimer::Forever);
}

QString LocalModel::LastErrorText() const
{
    if (!limitError.isEmpty())
        return std::exchange(limitError, QString());
    if (deadlinePassed && queryBound && query.lastError().isValid())
        return QStringLiteral("The database took longer than %1 ms; the work was stopped").arg(statementTimeoutMs);
    return queryBound ? query.lastError().text() : QString();
}

bool LocalModel::ReadTestcases(QList<DBT_Testcase>& out)
{
    const TestcaseColumns at = columnsOf(query, kTestcaseColumns, KnownColumns());
    TimeMemo times;
    qint64 bytes = 0;
    while (query.next()) {
        DBT_Testcase tc;
        readTestcase(query, at, times, tc);
        bytes += testcaseBytes(tc);
        // The reply around the list ("result", "cmd", "SEQ", ...) needs room too.
        if (readLimit > 0 && bytes > readLimit - kReplyReserve) {
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
    // Not kept prepared: PostgreSQL prepares only queries and changes of
    // rows, not transaction control or schema statements.
    StartStatement();
    query.finish();
    current.clear();
    query = QSqlQuery(db);
    query.setForwardOnly(true);
    return query.exec(statement);
}

void LocalModel::Prepare(const QString& statement)
{
    // The statement in use before is reset, so that it holds no read
    // transaction open while it waits for its next use.
    StartStatement();
    query.finish();
    current = statement;
    const auto known = prepared.constFind(statement);
    if (known != prepared.constEnd()) {
        query = known.value();
        return;
    }
    query = QSqlQuery(db);
    // Rows are read once, in order; a scrollable query would keep a copy of
    // every row it has read.
    query.setForwardOnly(true);
    if (query.prepare(statement))
        prepared.insert(statement, query);
}

QVector<int>* LocalModel::KnownColumns()
{
    // Statements run once (Run) are not kept, nor are their columns.
    return current.isEmpty() || !prepared.contains(current) ? nullptr : &columns[current];
}

bool LocalModel::BeginTransaction()
{
    const bool begun = Run(transactionDepth == 0 ? dialect.Begin()
                                                 : QStringLiteral("savepoint s%1;").arg(transactionDepth));
    if (begun)
        ++transactionDepth;
    return begun;
}

bool LocalModel::CommitTransaction()
{
    // A failed commit is followed by a rollback, which ends the level.
    if (transactionDepth <= 1) {
        if (!Run(QStringLiteral("commit;")))
            return false;
        transactionDepth = 0;
        return true;
    }
    if (!Run(QStringLiteral("release savepoint s%1;").arg(transactionDepth - 1)))
        return false;
    --transactionDepth;
    return true;
}

void LocalModel::RollbackTransaction()
{
    // Through the connection rather than `query`, whose error says why the
    // transaction is being abandoned.
    query.finish();
    if (transactionDepth <= 1) {
        db.rollback();
        transactionDepth = 0;
        return;
    }
    --transactionDepth;
    QSqlQuery undo(db);
    // A savepoint that cannot be rolled back to (the connection is gone)
    // takes the whole transaction with it; the levels above fail to commit.
    if (!undo.exec(QStringLiteral("rollback to savepoint s%1;").arg(transactionDepth))) {
        db.rollback();
        transactionDepth = 0;
        return;
    }
    undo.exec(QStringLiteral("release savepoint s%1;").arg(transactionDepth));
}

bool LocalModel::AddAudit(const AuditEntry& entry)
{
    Prepare(QStringLiteral("insert into T_Audit (time,userName,cmd,ids) values (:time, :user, :cmd, :ids);"));
    query.bindValue(QStringLiteral(":time"), entry.time);
    query.bindValue(QStringLiteral(":user"), entry.user);
    query.bindValue(QStringLiteral(":cmd"), entry.cmd);
    query.bindValue(QStringLiteral(":ids"), entry.ids);
    return query.exec();
}

bool LocalModel::CountPage(const QString& statement, const std::function<void()>& bind, int page, int pageSz, int& total,
                           qint64& offset, bool& any)
{
    Prepare(statement);
    bind();
    if (!query.exec() || !query.first())
        return false;
    total = query.value(0).toInt();
    offset = (qint64(qMax(page, 1)) - 1) * pageSz;
    any = total > 0 && offset < total;
    query.finish();
    return true;
}

bool LocalModel::QueryAudit(int page, int pageSz, QList<AuditEntry>& out, int& total)
{
    qint64 offset = 0;
    bool any = false;
    if (!CountPage(QStringLiteral("select count(*) from T_Audit;"), [] {}, page, pageSz, total, offset, any))
        return false;
    if (!any)
        return true;
    Prepare(QStringLiteral("select time, userName, cmd, ids from T_Audit order by id desc limit :pageSz offset :offset;"));
    query.bindValue(QStringLiteral(":pageSz"), pageSz);
    query.bindValue(QStringLiteral(":offset"), offset);
    if (!query.exec())
        return false;
    while (query.next())
        out.append({query.value(0).toString(), query.value(1).toString(), query.value(2).toString(), query.value(3).toString()});
    query.finish();
    return true;
}

bool LocalModel::RecordBeat(const StationRow& station, const QList<DeviceRow>& devices)
{
    if (!BeginTransaction())
        return false;
    // The station's row first: on PostgreSQL it locks the station, so that
    // two beats of one station replace its devices one after the other.
    Prepare(QStringLiteral("insert into T_Station (name,version,lastSeen) values (:name, :version, :seen) "
                           "on conflict (name) do update set version = excluded.version, lastSeen = excluded.lastSeen;"));
    query.bindValue(QStringLiteral(":name"), nonNull(station.name));
    query.bindValue(QStringLiteral(":version"), nonNull(station.version));
    query.bindValue(QStringLiteral(":seen"), seenNow());
    bool ok = query.exec();
    if (ok) {
        Prepare(QStringLiteral("delete from T_Device where station = :station;"));
        query.bindValue(QStringLiteral(":station"), nonNull(station.name));
        ok = query.exec();
    }
    for (int i = 0; ok && i < devices.size(); ++i) {
        const DeviceRow& device = devices.at(i);
        Prepare(QStringLiteral("insert into T_Device (station,url,tags,state,jobId) values (:station, :url, :tags, :state, :jobId);"));
        query.bindValue(QStringLiteral(":station"), nonNull(station.name));
        query.bindValue(QStringLiteral(":url"), nonNull(device.url));
        query.bindValue(QStringLiteral(":tags"), nonNull(device.tags));
        query.bindValue(QStringLiteral(":state"), nonNull(device.state));
        query.bindValue(QStringLiteral(":jobId"), device.jobId > 0 ? QVariant(device.jobId) : QVariant(QVariant::Int));
        ok = query.exec();
    }
    if (ok && CommitTransaction())
        return true;
    RollbackTransaction();
    return false;
}

bool LocalModel::QueryLab(qint64 leaseMs, int maxStations, int maxDevices, QList<StationRow>& stations, QList<DeviceRow>& devices,
                          bool& complete)
{
    // One more row than asked for tells whether there were more.
    Prepare(QStringLiteral("select name, version, lastSeen, case when lastSeen > :since then 1 else 0 end from T_Station "
                           "limit :max;"));
    query.bindValue(QStringLiteral(":since"), seenNow(leaseMs));
    query.bindValue(QStringLiteral(":max"), maxStations + 1);
    if (!query.exec())
        return false;
    while (query.next())
        stations.append({query.value(0).toString(), query.value(1).toString(), query.value(2).toString(), query.value(3).toInt() != 0});
    query.finish();
    Prepare(QStringLiteral("select station, url, tags, state, jobId from T_Device limit :max;"));
    query.bindValue(QStringLiteral(":max"), maxDevices + 1);
    if (!query.exec())
        return false;
    while (query.next())
        devices.append({query.value(0).toString(), query.value(1).toString(), query.value(2).toString(), query.value(3).toString(),
                        query.value(4).toInt()});
    query.finish();
    complete = stations.size() <= maxStations && devices.size() <= maxDevices;
    return true;
}

bool LocalModel::QueueJob(DBT_Job& job)
{
    Prepare(QStringLiteral("insert into T_Job (planId,projId,totalCnt,finishCnt,status,starter,priority,qTags,qDevice,qStation,qTime) "
                           "values (:planId, :projId, :totalCnt, 0, 1, :starter, :priority, :qTags, :qDevice, :qStation, :qTime)")
            + dialect.ReturningId());
    job.status = 1;
    job.queued = seenNow();
    query.bindValue(QStringLiteral(":planId"), job.planId);
    query.bindValue(QStringLiteral(":projId"), job.projId);
    query.bindValue(QStringLiteral(":totalCnt"), job.totalCnt);
    query.bindValue(QStringLiteral(":starter"), nonNull(job.starter));
    query.bindValue(QStringLiteral(":priority"), job.priority);
    const auto orNull = [](const QString& text) { return text.isEmpty() ? QVariant(QVariant::String) : QVariant(text); };
    query.bindValue(QStringLiteral(":qTags"), orNull(job.queueTags));
    query.bindValue(QStringLiteral(":qDevice"), orNull(job.queueDevice));
    query.bindValue(QStringLiteral(":qStation"), orNull(job.queueStation));
    query.bindValue(QStringLiteral(":qTime"), job.queued);
    return InsertedId(job.id);
}

bool LocalModel::QueuedJobs(int max, QList<DBT_Job>& out, int* total)
{
    if (total) {
        Prepare(QStringLiteral("select count(*) from T_Job where status = 1;"));
        if (!query.exec() || !query.next())
            return false;
        *total = query.value(0).toInt();
        query.finish();
    }
    Prepare(QLatin1String(kJobSelect) + QStringLiteral(" where status = 1 order by status, priority desc, id limit :max;"));
    query.bindValue(QStringLiteral(":max"), max);
    if (!query.exec())
        return false;
    readAll(query, kJobColumns, readJob, out, KnownColumns());
    query.finish();
    return true;
}

bool LocalModel::ClaimJob(const DBT_Job& job, const QString& station, const QString& device, const QString& boot, int seq,
                          bool& taken)
{
    taken = false;
    if (!BeginTransaction())
        return false;
    // Checked and taken in one statement: of two servers taking the job at
    // once, one changes no row. The device's index refuses a second job on
    // a device that another server gave a job meanwhile.
    Prepare(QStringLiteral("update T_Job set status = 2, station = :station, device = :device, boot = :boot, seq = :seq, "
                           "caseIds = :caseIds, totalCnt = :totalCnt, secret = :secret, sTime = :sTime, seen = :seen, "
                           "cancel = 0 where id = :id and status = 1 and not exists "
                           "(select 1 from T_Job b where b.station = :station2 and b.device = :device2 and b.status = 2);"));
    query.bindValue(QStringLiteral(":station"), station);
    query.bindValue(QStringLiteral(":device"), device);
    query.bindValue(QStringLiteral(":boot"), boot);
    query.bindValue(QStringLiteral(":seq"), seq);
    query.bindValue(QStringLiteral(":caseIds"), job.caseIds);
    query.bindValue(QStringLiteral(":totalCnt"), job.totalCnt);
    query.bindValue(QStringLiteral(":secret"), job.secret);
    query.bindValue(QStringLiteral(":sTime"), dialect.TimeValue(job.sTime));
    query.bindValue(QStringLiteral(":seen"), seenNow());
    query.bindValue(QStringLiteral(":id"), job.id);
    query.bindValue(QStringLiteral(":station2"), station);
    query.bindValue(QStringLiteral(":device2"), device);
    if (!query.exec()) {
        // The device's index: another server's job got there first
        // (PostgreSQL's unique_violation; SQLite's constraint code, plain or extended).
        const QString code = query.lastError().nativeErrorCode();
        RollbackTransaction();
        return code == QLatin1String("23505") || code == QLatin1String("2067") || code == QLatin1String("19");
    }
    if (query.numRowsAffected() != 1) {
        RollbackTransaction();
        return true;
    }
    Prepare(dialect.InsertJobDetails());
    query.bindValue(QStringLiteral(":jobId"), job.id);
    query.bindValue(QStringLiteral(":tcIds"), job.caseIds);
    if (!query.exec() || !CommitTransaction()) {
        RollbackTransaction();
        return false;
    }
    taken = true;
    return true;
}

bool LocalModel::StationJobs(const QString& station, QList<StationJob>& out)
{
    Prepare(QStringLiteral("select id, device, boot, seq, cancel, heard from T_Job where station = :station and status = 2;"));
    query.bindValue(QStringLiteral(":station"), station);
    if (!query.exec())
        return false;
    while (query.next()) {
        StationJob job;
        job.id = query.value(0).toInt();
        job.device = query.value(1).toString();
        job.boot = query.value(2).toString();
        job.seq = query.value(3).toInt();
        job.cancel = query.value(4).toInt();
        job.heard = query.value(5).toInt() != 0;
        out.append(job);
    }
    query.finish();
    return true;
}

bool LocalModel::RequeueJob(int id, const QString& station, bool& done)
{
    done = false;
    if (!BeginTransaction())
        return false;
    Prepare(QStringLiteral("update T_Job set status = 1, station = null, device = null, boot = null, seq = null, caseIds = null, "
                           "secret = null, sTime = null, seen = null, finishCnt = 0, cancel = 0, waiting = null "
                           "where id = :id and status = 2 and station = :station and qTime is not null and heard is null;"));
    query.bindValue(QStringLiteral(":id"), id);
    query.bindValue(QStringLiteral(":station"), station);
    bool ok = query.exec();
    done = ok && query.numRowsAffected() == 1;
    if (ok && done) {
        Prepare(QStringLiteral("delete from T_JobDetail where jobId = :id;"));
        query.bindValue(QStringLiteral(":id"), id);
        ok = query.exec();
    }
    if (ok && CommitTransaction())
        return true;
    done = false;
    RollbackTransaction();
    return false;
}

bool LocalModel::TieJob(int id, const QString& station)
{
    Prepare(QStringLiteral("update T_Job set station = :station where id = :id and status = 2 and station is null;"));
    query.bindValue(QStringLiteral(":station"), station);
    query.bindValue(QStringLiteral(":id"), id);
    return query.exec();
}

bool LocalModel::JobStatuses(const QList<int>& ids, QHash<int, int>& out)
{
    for (const int id : ids) {
        Prepare(QStringLiteral("select status from T_Job where id = :id;"));
        query.bindValue(QStringLiteral(":id"), id);
        if (!query.exec())
            return false;
        if (query.next())
            out.insert(id, query.value(0).toInt());
        query.finish();
    }
    return true;
}

bool LocalModel::CancelJob(int id, int& status, QString& station)
{
    status = 0;
    if (!BeginTransaction())
        return false;
    // Changed before it is read: a job another server hands out meanwhile
    // is either still queued here or running when the second update looks.
    bool ended = false;
    bool ok = EndQueuedJob(id, QStringLiteral("Cancelled"), ended);
    if (ok && !ended) {
        Prepare(QStringLiteral("update T_Job set cancel = 1 where id = :id and status = 2 and station is not null "
                               "and coalesce(cancel, 0) = 0;"));
        query.bindValue(QStringLiteral(":id"), id);
        ok = query.exec();
    }
    if (ok) {
        Prepare(QStringLiteral("select status, station from T_Job where id = :id;"));
        query.bindValue(QStringLiteral(":id"), id);
        ok = query.exec();
        if (ok && query.next()) {
            status = ended ? 1 : query.value(0).toInt();
            station = query.value(1).toString();
        }
        query.finish();
    }
    if (ok && CommitTransaction())
        return true;
    RollbackTransaction();
    return false;
}

bool LocalModel::CancelsSent(const QList<int>& ids)
{
    for (const int id : ids) {
        Prepare(QStringLiteral("update T_Job set cancel = 2 where id = :id and cancel = 1;"));
        query.bindValue(QStringLiteral(":id"), id);
        if (!query.exec())
            return false;
    }
    return true;
}

bool LocalModel::QueuedJobsFor(const QString& station, const QString& device, const QString& tags, int max, QList<DBT_Job>& out)
{
    Prepare(QLatin1String(kJobSelect) + QStringLiteral(" where status = 1 and (%1) order by status, priority desc, id limit :max;")
                                            .arg(dialect.QueueFits()));
    query.bindValue(QStringLiteral(":url"), device);
    query.bindValue(QStringLiteral(":station"), station);
    query.bindValue(QStringLiteral(":tags"), tags);
    query.bindValue(QStringLiteral(":max"), max);
    if (!query.exec())
        return false;
    readAll(query, kJobColumns, readJob, out, KnownColumns());
    query.finish();
    return true;
}

bool LocalModel::NoteBoot(const QString& station, const QString& boot, int seq, BootVerdict& verdict)
{
    verdict = Current;
    if (!BeginTransaction())
        return false;
    Prepare(QStringLiteral("select boot, prevBoot, seq from T_Station where name = :name;"));
    query.bindValue(QStringLiteral(":name"), station);
    bool ok = query.exec();
    QString last, before;
    int lastSeq = 0;
    if (ok && query.next()) {
        last = query.value(0).toString();
        before = query.value(1).toString();
        lastSeq = query.value(2).toInt();
    }
    query.finish();
    if (ok && boot == last && seq < lastSeq)
        verdict = Stale;
    else if (ok && boot != last && boot == before)
        verdict = Conflict;
    if (ok && verdict == Current) {
        // A station's first beat: its row comes with the beat (RecordBeat).
        Prepare(QStringLiteral("insert into T_Station (name,version,lastSeen) values (:name, '', :seen) on conflict (name) do nothing;"));
        query.bindValue(QStringLiteral(":name"), station);
        query.bindValue(QStringLiteral(":seen"), seenNow());
        ok = query.exec();
    }
    if (ok && verdict == Current) {
        Prepare(QStringLiteral("update T_Station set prevBoot = case when boot = :boot then prevBoot else boot end, "
                               "boot = :boot2, seq = :seq where name = :name;"));
        query.bindValue(QStringLiteral(":boot"), boot);
        query.bindValue(QStringLiteral(":boot2"), boot);
        query.bindValue(QStringLiteral(":seq"), seq);
        query.bindValue(QStringLiteral(":name"), station);
        ok = query.exec();
    }
    if (ok && CommitTransaction())
        return true;
    RollbackTransaction();
    return false;
}

bool LocalModel::EndQueuedJob(int id, const QString& reason, bool& ended)
{
    Prepare(QStringLiteral("update T_Job set status = 3, eTime = %1, vResult = 0, vRemark = :reason, vReason = :reason2 "
                           "where id = :id and status = 1;").arg(dialect.Now()));
    query.bindValue(QStringLiteral(":reason"), reason);
    query.bindValue(QStringLiteral(":reason2"), reason);
    query.bindValue(QStringLiteral(":id"), id);
    if (!query.exec())
        return false;
    ended = query.numRowsAffected() == 1;
    return true;
}

bool LocalModel::AbandonStationJobs(const QString& reason, const QString& station, const QString& boot, qint64 silentMs,
                                    QList<int>& ended)
{
    if (!station.isEmpty())
        return AbandonWhere(reason, QStringLiteral("station = :station and boot is not null and boot <> :boot"),
                            {{QStringLiteral(":station"), station}, {QStringLiteral(":boot"), boot}}, ended);
    return AbandonWhere(reason,
                        QStringLiteral("station in (select name from T_Station where lastSeen < :before)"),
                        {{QStringLiteral(":before"), seenNow(silentMs)}}, ended);
}

bool LocalModel::AbandonJob(int id, const QString& reason, QList<int>& ended)
{
    return AbandonWhere(reason, QStringLiteral("id = :job"), {{QStringLiteral(":job"), id}}, ended);
}

bool LocalModel::RunningJobs(int max, QList<DBT_Job>& out)
{
    Prepare(QLatin1String(kJobSelect) + QStringLiteral(" where status = 2 order by id limit :max;"));
    query.bindValue(QStringLiteral(":max"), max);
    if (!query.exec())
        return false;
    readAll(query, kJobColumns, readJob, out, KnownColumns());
    query.finish();
    return true;
}

bool LocalModel::InsertedId(int& id)
{
    if (!query.exec())
        return false;
    if (dialect.ReturningId().isEmpty()) {
        id = query.lastInsertId().toInt();
        return true;
    }
    if (!query.next())
        return false;
    id = query.value(0).toInt();
    query.finish();
    return true;
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
    Prepare(QStringLiteral(
        "insert into T_Tc (projId,title,path,author,remark,hw,sw,constraints,tags,timeout,content) values "
        "(:projId, :title, :path, :author, :remark, :hw, :sw, :constraints, :tags, :timeout, :content)") + dialect.ReturningId());
    query.bindValue(QStringLiteral(":projId"), tc.projId);
    BindTestcaseFields(tc);
    if (!InsertedId(tc.id))
        return false;
    // Just stored, and the reply carries only its id: read back whatever its size.
    return ReadTestcase(tc, 0);
}

bool LocalModel::DeleteTestcase(const DBT_Testcase& tc)
{
    Prepare(QStringLiteral("delete from T_Tc where id = :id;"));
    query.bindValue(QStringLiteral(":id"), tc.id);
    return query.exec();
}

bool LocalModel::GetTestcase(DBT_Testcase& tc, QByteArray* contentUtf8)
{
    return ReadTestcase(tc, readLimit, contentUtf8);
}

bool LocalModel::TextFits(const QString& table, const QString& textBytes, int id, qint64 keyBytes, qint64 limit)
{
    // On PostgreSQL the count of what was read decides alone: a statement
    // more is a round trip more for every read.
    if (limit <= 0 || dialect.Which() == SqlDialect::Postgres)
        return true;
    Prepare(QStringLiteral("select %1 from %2 where id = :id;").arg(textBytes, table));
    query.bindValue(QStringLiteral(":id"), id);
    if (!query.exec())
        return false;
    // Without a row the read that follows says so.
    const qint64 bytes = query.next() ? keyBytes + query.value(0).toLongLong() : 0;
    query.finish();
    if (bytes <= limit)
        return true;
    limitError = tooLargeText(bytes, limit);
    return false;
}

sqlite3* LocalModel::SqliteHandle() const
{
    const QVariant handle = db.driver() ? db.driver()->handle() : QVariant();
    if (qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return nullptr;
    return *static_cast<sqlite3* const*>(handle.data());
}

bool LocalModel::ReadTestcase(DBT_Testcase& tc, qint64 limit, QByteArray* contentUtf8)
{
    sqlite3* sqlite = SqliteHandle();
    sqlite3_blob* blob = nullptr;
    // The content straight from the row, where SQLite allows it: its size is
    // known from the row's header before a byte of it is read, so one larger
    // than a reply may be costs nothing, and it is read once, into UTF-8 as
    // stored. (Through the driver it would come as UTF-16 in a copy of
    // SQLite's own, then in Qt's.) In one read transaction (deferred, unlike
    // BeginTransaction's), so that a writer on another connection cannot come
    // between the reads.
    const bool ownTransaction = sqlite && sqlite3_get_autocommit(sqlite) != 0;
    if (ownTransaction && !Run(QStringLiteral("begin;")))
        return false;
    const auto finish = [this, ownTransaction, &blob](bool ok) {
        sqlite3_blob_close(blob);
        blob = nullptr;
        if (ownTransaction)
            ok = CommitTransaction() && ok;
        return ok;
    };
    // A missing row, or content that is not text, goes the driver's way.
    if (sqlite && sqlite3_blob_open(sqlite, "main", "T_Tc", "content", tc.id, 0, &blob) != SQLITE_OK) {
        sqlite3_blob_close(blob);
        blob = nullptr;
    }
    const qint64 size = blob ? sqlite3_blob_bytes(blob) : 0;
    // Each byte takes one or more in a reply, and the keys 140: a lower bound.
    if (blob && !TestcaseFits(tc, 140 + size, limit))
        return finish(false);
    if (blob) {
        Prepare(QStringLiteral("select id, projId, timeout, title, path, author, remark, hw, sw, constraints, tags, date, "
                               "mTime, null as content, typeof(content) as contentType from T_Tc where id = :id"));
    } else {
        Prepare(QStringLiteral("select * from T_Tc where id = :id"));
    }
    query.bindValue(QStringLiteral(":id"), tc.id);
    if (!query.exec() || !readFirst(query, kTestcaseColumns, readTestcase, tc, KnownColumns()))
        return finish(false);
    const bool text = blob && query.value(query.record().indexOf(QStringLiteral("contentType"))).toString() == QLatin1String("text");
    query.finish();
    if (!blob)
        return finish(TestcaseFits(tc, testcaseBytes(tc), limit));
    const qint64 fixed = testcaseBytes(tc);
    QByteArray utf8;
    if (text && TestcaseFits(tc, fixed + size, limit)) {
        utf8.resize(int(size));
        const int read = sqlite3_blob_read(blob, utf8.data(), int(size), 0);
        if (read != SQLITE_OK) {
            limitError = QString::fromUtf8(sqlite3_errstr(read));
            return finish(false);
        }
    } else if (text) {
        return finish(false);
    }
    if (!text || !PlainUtf8(utf8)) {
        // SQLite's own decoding for what is not plain UTF-8 (or not text).
        utf8.clear();
        Prepare(QStringLiteral("select content from T_Tc where id = :id"));
        query.bindValue(QStringLiteral(":id"), tc.id);
        if (!query.exec() || !query.next())
            return finish(false);
        tc.content = query.value(0).toString();
        query.finish();
        return finish(TestcaseFits(tc, testcaseBytes(tc), limit));
    }
    if (!finish(TestcaseFits(tc, fixed - 2 + JsonText::StringBytes(utf8), limit)))
        return false;
    if (contentUtf8)
        *contentUtf8 = utf8.isNull() ? QByteArray("") : utf8;
    else
        tc.content = QString::fromUtf8(utf8.constData(), utf8.size());
    return true;
}

bool LocalModel::TestcaseFits(DBT_Testcase& tc, qint64 bytes, qint64 limit)
{
    if (limit <= 0 || bytes <= limit)
        return true;
    limitError = tooLargeText(bytes, limit);
    tc.content.clear();
    return false;
}

bool LocalModel::PlainUtf8(const QByteArray& text)
{
    // Well-formed UTF-8 without surrogates and without U+FFFE and U+FFFF,
    // which SQLite reads back as U+FFFD: read that way, such text is what
    // SQLite's own decoding would give.
    const auto* at = reinterpret_cast<const uchar*>(text.constData());
    const auto* const end = at + text.size();
    while (at < end) {
        const uchar lead = *at;
        if (lead < 0x80) {
            ++at;
            continue;
        }
        const int length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc0 ? 2 : 0;
        if (length == 0 || lead > 0xf4 || end - at < length)
            return false;
        uint code = lead & (0x7f >> length);
        for (int i = 1; i < length; ++i) {
            if ((at[i] & 0xc0) != 0x80)
                return false;
            code = (code << 6) | (at[i] & 0x3f);
        }
        static const uint smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < smallest[length] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff) || code == 0xfffe
            || code == 0xffff)
            return false;
        at += length;
    }
    return true;
}

bool LocalModel::UpdateTestcase(const DBT_Testcase& tc)
{
    Prepare(QStringLiteral(
        "update T_Tc set title = :title, path = :path, author = :author, remark = :remark, hw = :hw, sw = :sw, "
        "constraints = :constraints, tags = :tags, timeout = :timeout, content = :content, "
        "mTime = ") + dialect.Now() + QStringLiteral(" where id = :id ;"));
    BindTestcaseFields(tc);
    query.bindValue(QStringLiteral(":id"), tc.id);
    return query.exec();
}

bool LocalModel::QueryTestcases(int page, int pageSz, QString path, QList<DBT_Testcase>& out, int& total)
{
    // The empty path matches every test case, those stored without a path
    // (NULL, which no `like` matches) too. A parameter bound to a text that
    // does not start with a wildcard lets SQLite search the path index.
    const bool everyTestcase = path.isEmpty();
    const QString where = everyTestcase ? QString() : dialect.PathWhere();
    path += QLatin1Char('%');
    const auto bindPath = [&] {
        if (!everyTestcase)
            query.bindValue(QStringLiteral(":path"), path);
    };
    qint64 offset = 0;
    bool any = false;
    if (!CountPage(QStringLiteral("select count(*) from T_Tc") + where + QLatin1Char(';'), bindPath, page, pageSz, total, offset, any))
        return false;
    if (!any)
        return true;
    Prepare(testcasePage(where, dialect.TestcaseOrder()));
    bindPath();
    query.bindValue(QStringLiteral(":pageSz"), pageSz);
    query.bindValue(QStringLiteral(":offset"), offset);
    if (!query.exec())
        return false;
    return ReadTestcases(out);
}

namespace {

// The search text as a test case's or plan's id, 0 when it is not one.
int searchedId(const QString& text)
{
    bool ok = false;
    const int id = text.trimmed().toInt(&ok);
    return ok && id > 0 ? id : 0;
}

} // namespace

bool LocalModel::SearchTestcases(int page, int pageSz, const QString& path, const QString& text, QList<DBT_Testcase>& out,
                                 int& total)
{
    // Within the path prefix as QueryTestcases reads it, in its order. Text
    // inside a column has no index: a search reads the table (or the
    // prefix's range of the path index).
    QString where = path.isEmpty() ? QString() : dialect.PathWhere();
    const int id = searchedId(text);
    if (!text.isEmpty()) {
        where += where.isEmpty() ? QStringLiteral(" where (") : QStringLiteral(" and (");
        where += dialect.Contains(QStringLiteral("title"), QStringLiteral(":inTitle")) + QStringLiteral(" or ")
            + dialect.Contains(QStringLiteral("path"), QStringLiteral(":inPath"))
            + (id ? QStringLiteral(" or id = :id)") : QStringLiteral(")"));
    }
    const auto bind = [&] {
        if (!path.isEmpty())
            query.bindValue(QStringLiteral(":path"), QString(path + QLatin1Char('%')));
        if (!text.isEmpty()) {
            const QString pattern = SqlDialect::ContainsPattern(text);
            query.bindValue(QStringLiteral(":inTitle"), pattern);
            query.bindValue(QStringLiteral(":inPath"), pattern);
        }
        if (!text.isEmpty() && id)
            query.bindValue(QStringLiteral(":id"), id);
    };
    qint64 offset = 0;
    bool any = false;
    if (!CountPage(QStringLiteral("select count(*) from T_Tc") + where + QLatin1Char(';'), bind, page, pageSz, total, offset, any))
        return false;
    if (!any)
        return true;
    Prepare(testcasePage(where, dialect.TestcaseOrder()));
    bind();
    query.bindValue(QStringLiteral(":pageSz"), pageSz);
    query.bindValue(QStringLiteral(":offset"), offset);
    if (!query.exec())
        return false;
    return ReadTestcases(out);
}

bool LocalModel::AddPlan(DBT_Plan& plan)
{
    Prepare(QStringLiteral("insert into T_Plan (projId,name,author,remark,tag,content) values "
                                 "(:projId, :name, :author, :remark, :tag, :content)") + dialect.ReturningId());
    query.bindValue(QStringLiteral(":projId"), plan.projId);
    query.bindValue(QStringLiteral(":name"), plan.name);
    query.bindValue(QStringLiteral(":author"), plan.author);
    query.bindValue(QStringLiteral(":remark"), plan.remark);
    query.bindValue(QStringLiteral(":tag"), plan.tag);
    query.bindValue(QStringLiteral(":content"), plan.content);
    if (!InsertedId(plan.id))
        return false;
    // Just stored: read back whatever its size; the reply is measured anyway.
    return ReadPlan(plan, 0);
}

bool LocalModel::DeletePlan(const DBT_Plan& plan)
{
    Prepare(QStringLiteral("delete from T_Plan where id = :id ;"));
    query.bindValue(QStringLiteral(":id"), plan.id);
    return query.exec();
}

bool LocalModel::GetPlan(DBT_Plan& plan)
{
    return ReadPlan(plan, readLimit);
}

bool LocalModel::ReadPlan(DBT_Plan& plan, qint64 limit)
{
    static const QString textBytes = utf8Bytes(kPlanTextColumns);
    if (!TextFits(QStringLiteral("T_Plan"), textBytes, plan.id, 79, limit))
        return false;
    Prepare(QStringLiteral("select * from T_Plan where id = :id;"));
    query.bindValue(QStringLiteral(":id"), plan.id);
    if (!query.exec() || !readFirst(query, kPlanColumns, readPlan, plan, KnownColumns()))
        return false;
    query.finish();
    const qint64 bytes = planBytes(plan);
    if (limit <= 0 || bytes <= limit)
        return true;
    limitError = tooLargeText(bytes, limit);
    plan.content.clear();
    return false;
}

bool LocalModel::UpdatePlan(const DBT_Plan& plan)
{
    Prepare(QStringLiteral("update T_Plan set name = :name ,remark = :remark, tag = :tag, content = :content, "
                                 "mTime = ") + dialect.Now() + QStringLiteral(" where id = :id ;"));
    query.bindValue(QStringLiteral(":name"), plan.name);
    query.bindValue(QStringLiteral(":remark"), plan.remark);
    query.bindValue(QStringLiteral(":tag"), plan.tag);
    query.bindValue(QStringLiteral(":content"), plan.content);
    query.bindValue(QStringLiteral(":id"), plan.id);
    return query.exec();
}

bool LocalModel::QueryPlans(int page, int pageSz, QString tag, QList<DBT_Plan>& out, int& total)
{
    Prepare(QStringLiteral("select count(*) from T_Plan where tag = :tag ;"));
    query.bindValue(QStringLiteral(":tag"), tag);
    if (!query.exec() || !query.first())
        return false;
    total = query.value(0).toInt();
    if (total == 0)
        return false;
    const qint64 offset = (qint64(qMax(page, 1)) - 1) * pageSz;
    if (offset >= total) {
        query.finish();
        return true;
    }
    Prepare(QStringLiteral("select * from T_Plan where tag = :tag order by id limit :pageSz offset :offset ;"));
    query.bindValue(QStringLiteral(":tag"), tag);
    query.bindValue(QStringLiteral(":pageSz"), pageSz);
    query.bindValue(QStringLiteral(":offset"), offset);
    if (!query.exec())
        return false;
    readAll(query, kPlanColumns, readPlan, out, KnownColumns());
    query.finish();
    return true;
}

bool LocalModel::SearchPlans(int page, int pageSz, const PlanSearch& search, QList<DBT_Plan>& out, int& total)
{
    // Unlike QueryPlans, finding none is an answer, not a failure.
    QStringList conditions;
    if (search.byTag)
        conditions << QStringLiteral("tag = :tag");
    const int id = searchedId(search.text);
    if (!search.text.isEmpty())
        conditions << QStringLiteral("(") + dialect.Contains(QStringLiteral("name"), QStringLiteral(":inName"))
                + (id ? QStringLiteral(" or id = :id)") : QStringLiteral(")"));
    const QString where = conditions.isEmpty() ? QString() : QStringLiteral(" where ") + conditions.join(QStringLiteral(" and "));
    const auto bind = [&] {
        if (search.byTag)
            query.bindValue(QStringLiteral(":tag"), search.tag);
        if (!search.text.isEmpty())
            query.bindValue(QStringLiteral(":inName"), SqlDialect::ContainsPattern(search.text));
        if (!search.text.isEmpty() && id)
            query.bindValue(QStringLiteral(":id"), id);
    };
    qint64 offset = 0;
    bool any = false;
    if (!CountPage(QStringLiteral("select count(*) from T_Plan") + where + QLatin1Char(';'), bind, page, pageSz, total, offset, any))
        return false;
    if (!any)
        return true;
    Prepare(QStringLiteral("select * from T_Plan") + where + QStringLiteral(" order by id limit :pageSz offset :offset ;"));
    bind();
    query.bindValue(QStringLiteral(":pageSz"), pageSz);
    query.bindValue(QStringLiteral(":offset"), offset);
    if (!query.exec())
        return false;
    readAll(query, kPlanColumns, readPlan, out, KnownColumns());
    query.finish();
    return true;
}

bool LocalModel::GetPlanTestcases(const DBT_Plan& plan, QList<DBT_Testcase>& out)
{
    // In the order of the plan's list as it was stored.
    Prepare(QStringLiteral("select T_Tc.* from T_PlanTC inner join T_Tc on T_Tc.id = T_PlanTC.tcId "
                                 "where T_PlanTC.planId = :planId order by T_PlanTC.id;"));
    query.bindValue(QStringLiteral(":planId"), plan.id);
    if (!query.exec())
        return false;
    return ReadTestcases(out);
}

bool LocalModel::SetPlanTestcases(const DBT_Plan& plan, const QList<uint>& tcIds, QList<DBT_Testcase>& stored)
{
    // The whole list goes in as one JSON array and one insert, in one
    // transaction with the removal of the old list: the plan holds its old
    // list or its new one, whatever fails or however the process ends. The
    // new list is read back before the commit, so that one too large to
    // answer with leaves the old list in place.
    QByteArray ids = "[";
    for (const uint tcId : tcIds) {
        if (ids.size() > 1)
            ids += ',';
        ids += QByteArray::number(tcId);
    }
    ids += ']';
    if (!BeginTransaction())
        return false;
    Prepare(QStringLiteral("delete from T_PlanTC where planId = :planId;"));
    query.bindValue(QStringLiteral(":planId"), plan.id);
    bool ok = query.exec();
    if (ok && !tcIds.isEmpty()) {
        Prepare(dialect.InsertPlanTestcases());
        query.bindValue(QStringLiteral(":planId"), plan.id);
        query.bindValue(QStringLiteral(":tcIds"), QString::fromLatin1(ids));
        ok = query.exec();
    }
    if (ok) {
        Prepare(QStringLiteral("update T_Plan set mTime = ") + dialect.Now() + QStringLiteral(" where id = :id ;"));
        query.bindValue(QStringLiteral(":id"), plan.id);
        ok = query.exec() && GetPlanTestcases(plan, stored) && CommitTransaction();
    }
    if (!ok)
        RollbackTransaction();
    return ok;
}

bool LocalModel::AddJob(DBT_Job& job)
{
    Prepare(QStringLiteral("insert into T_Job (planId,projId,totalCnt,finishCnt,status,starter,sTime,eTime,caseIds,secret,seen) "
                           "values (:planId, :projId, :totalCnt, :finishCnt, :status, :starter, :sTime, :eTime, :caseIds, "
                           ":secret, :seen)") + dialect.ReturningId());
    query.bindValue(QStringLiteral(":planId"), job.planId);
    query.bindValue(QStringLiteral(":projId"), job.projId);
    query.bindValue(QStringLiteral(":totalCnt"), job.totalCnt);
    query.bindValue(QStringLiteral(":finishCnt"), job.finishCnt);
    query.bindValue(QStringLiteral(":status"), job.status);
    query.bindValue(QStringLiteral(":starter"), job.starter);
    query.bindValue(QStringLiteral(":sTime"), dialect.TimeValue(job.sTime));
    query.bindValue(QStringLiteral(":eTime"), dialect.TimeValue(job.eTime));
    query.bindValue(QStringLiteral(":caseIds"), job.caseIds);
    query.bindValue(QStringLiteral(":secret"), job.secret);
    query.bindValue(QStringLiteral(":seen"), seenNow());
    if (!InsertedId(job.id))
        return false;
    return true;
}

bool LocalModel::StartJob(DBT_Job& job)
{
    if (!BeginTransaction())
        return false;
    bool ok = AddJob(job);
    if (ok && !job.caseIds.isEmpty()) {
        Prepare(dialect.InsertJobDetails());
        query.bindValue(QStringLiteral(":jobId"), job.id);
        query.bindValue(QStringLiteral(":tcIds"), job.caseIds);
        ok = query.exec();
    }
    if (ok && CommitTransaction())
        return true;
    RollbackTransaction();
    return false;
}

bool LocalModel::JobSecrets(DBT_Job& job)
{
    Prepare(QStringLiteral("select caseIds, secret from T_Job where id = :id;"));
    query.bindValue(QStringLiteral(":id"), job.id);
    if (!query.exec() || !query.next())
        return false;
    job.caseIds = query.value(0).toString();
    job.secret = query.value(1).toString();
    query.finish();
    return true;
}


bool LocalModel::GetJob(DBT_Job& job)
{
    Prepare(QLatin1String(kJobSelect) + QStringLiteral(" where id = :id;"));
    query.bindValue(QStringLiteral(":id"), job.id);
    if (!query.exec() || !readFirst(query, kJobColumns, readJob, job, KnownColumns()))
        return false;
    query.finish();
    return true;
}

bool LocalModel::UpdateJob(const DBT_Job& job)
{
    Prepare(QStringLiteral("update T_Job set finishCnt = :finishCnt, status = :status, sTime = :sTime, eTime = :eTime "
                           "where id = :id;"));
    query.bindValue(QStringLiteral(":finishCnt"), job.finishCnt);
    query.bindValue(QStringLiteral(":status"), job.status);
    query.bindValue(QStringLiteral(":sTime"), dialect.TimeValue(job.sTime));
    query.bindValue(QStringLiteral(":eTime"), dialect.TimeValue(job.eTime));
    query.bindValue(QStringLiteral(":id"), job.id);
    return query.exec();
}

bool LocalModel::FinishJob(const DBT_Job& job, bool takeLate, bool& finished)
{
    // A job finished for want of news from its station takes the report
    // that comes after all; its reason says so, and changes with it.
    Prepare(QStringLiteral("update T_Job set finishCnt = :finishCnt, status = :status, sTime = :sTime, eTime = :eTime, "
                           "vResult = :vResult, vRemark = :vRemark, vReason = :vReason where id = :id and (status = 2%1);")
                .arg(takeLate ? QStringLiteral(" or (status = 3 and vReason = 'Station lost')") : QString()));
    query.bindValue(QStringLiteral(":finishCnt"), job.finishCnt);
    query.bindValue(QStringLiteral(":status"), job.status);
    query.bindValue(QStringLiteral(":sTime"), dialect.TimeValue(job.sTime));
    query.bindValue(QStringLiteral(":eTime"), dialect.TimeValue(job.eTime));
    query.bindValue(QStringLiteral(":vResult"), job.verdict.result == JobVerdict::Unknown ? QVariant(QVariant::Int)
                                                                                        : QVariant(job.verdict.result));
    query.bindValue(QStringLiteral(":vRemark"), nonNull(job.verdict.remark));
    query.bindValue(QStringLiteral(":vReason"), nonNull(job.verdict.reason));
    query.bindValue(QStringLiteral(":id"), job.id);
    if (!query.exec())
        return false;
    finished = query.numRowsAffected() == 1;
    return true;
}

bool LocalModel::UpdateJobDetail(const DBT_JobDetail& detail)
{
    Prepare(QStringLiteral("update T_JobDetail set status = :status, content = :content, vStatus = :vStatus, "
                           "vRemark = :vRemark, vMs = :vMs where jobId = :jobId and seqIdx = :seqIdx;"));
    query.bindValue(QStringLiteral(":status"), detail.status);
    query.bindValue(QStringLiteral(":content"), detail.content.isNull() ? detail.content : TextCheck::Storable(detail.content));
    query.bindValue(QStringLiteral(":vStatus"), detail.verdict.status);
    query.bindValue(QStringLiteral(":vRemark"), nonNull(detail.verdict.remark));
    query.bindValue(QStringLiteral(":vMs"), detail.verdict.ms);
    query.bindValue(QStringLiteral(":jobId"), detail.jobId);
    query.bindValue(QStringLiteral(":seqIdx"), detail.seqIdx);
    return query.exec();
}

bool LocalModel::AddJobDetailOfCase(const DBT_JobDetail& detail)
{
    Prepare(QStringLiteral("insert into T_JobDetail (jobId,tcId,seqIdx,status,content,vStatus,vRemark,vMs) "
                           "select cast(:jobId as integer), id, cast(:seqIdx as integer), cast(:status as text), cast(:content as text), "
                           "cast(:vStatus as text), cast(:vRemark as text), cast(:vMs as integer) from T_Tc where id = :tcId;"));
    query.bindValue(QStringLiteral(":jobId"), detail.jobId);
    query.bindValue(QStringLiteral(":seqIdx"), detail.seqIdx);
    query.bindValue(QStringLiteral(":status"), detail.status);
    query.bindValue(QStringLiteral(":content"), detail.content.isNull() ? detail.content : TextCheck::Storable(detail.content));
    query.bindValue(QStringLiteral(":vStatus"), detail.verdict.status);
    query.bindValue(QStringLiteral(":vRemark"), nonNull(detail.verdict.remark));
    query.bindValue(QStringLiteral(":vMs"), detail.verdict.ms);
    query.bindValue(QStringLiteral(":tcId"), detail.tcId);
    return query.exec();
}

bool LocalModel::RecordProgress(int jobId, int from, const QList<CaseVerdict>& verdicts, const Progress& progress, bool& running)
{
    if (!BeginTransaction())
        return false;
    // A count of zero leaves finishCnt as it is.
    const int finished = progress.countFinished ? from + verdicts.size() : 0;
    Prepare(QStringLiteral("update T_Job set finishCnt = case when coalesce(finishCnt, 0) < :fin then :fin2 else finishCnt end, "
                           "seen = :seen, waiting = coalesce(:waiting, waiting), heard = 1 where id = :id and status = 2;"));
    query.bindValue(QStringLiteral(":fin"), finished);
    query.bindValue(QStringLiteral(":fin2"), finished);
    query.bindValue(QStringLiteral(":seen"), seenNow());
    query.bindValue(QStringLiteral(":waiting"), progress.waiting < 0 ? QVariant(QVariant::Int) : QVariant(progress.waiting));
    query.bindValue(QStringLiteral(":id"), jobId);
    bool ok = query.exec();
    running = ok && query.numRowsAffected() == 1;
    for (int i = 0; ok && running && i < verdicts.size(); ++i) {
        Prepare(QStringLiteral("update T_JobDetail set vStatus = :vStatus, vRemark = :vRemark, vMs = :vMs "
                               "where jobId = :jobId and seqIdx = :seqIdx;"));
        query.bindValue(QStringLiteral(":vStatus"), verdicts.at(i).status);
        query.bindValue(QStringLiteral(":vRemark"), nonNull(verdicts.at(i).remark));
        query.bindValue(QStringLiteral(":vMs"), verdicts.at(i).ms);
        query.bindValue(QStringLiteral(":jobId"), jobId);
        query.bindValue(QStringLiteral(":seqIdx"), from + i);
        ok = query.exec();
    }
    if (ok && CommitTransaction())
        return true;
    RollbackTransaction();
    return false;
}

bool LocalModel::AbandonJobs(const QString& reason, int silentMs, QList<int>& ended)
{
    if (silentMs < 0)
        return AbandonWhere(reason, QString(), {}, ended);
    return AbandonWhere(reason, QStringLiteral("seen < :before"), {{QStringLiteral(":before"), seenNow(silentMs)}}, ended);
}

bool LocalModel::AbandonWhere(const QString& reason, const QString& where, const QVariantMap& binds, QList<int>& ended)
{
    const QString condition = where.isEmpty() ? QString() : QStringLiteral(" and (%1)").arg(where);
    const auto bindAll = [this, &binds] {
        for (auto bind = binds.cbegin(); bind != binds.cend(); ++bind)
            query.bindValue(bind.key(), bind.value());
    };
    Prepare(QStringLiteral("select id from T_Job where status = 2%1 order by id;").arg(condition));
    bindAll();
    if (!query.exec())
        return false;
    QList<int> candidates;
    while (query.next())
        candidates.append(query.value(0).toInt());
    query.finish();
    for (const int id : qAsConst(candidates)) {
        // Each job on its own, its row checked again: the station may have
        // reported meanwhile, or another server may have ended it.
        if (!BeginTransaction())
            return false;
        Prepare(QStringLiteral("update T_Job set status = 3, eTime = %1, vResult = 0, vRemark = '', vReason = :reason, "
                               "finishCnt = (select count(*) from T_JobDetail d where d.jobId = T_Job.id "
                               "and d.vStatus in ('pass', 'fail', 'error')) where id = :id and status = 2%2;")
                    .arg(dialect.Now(), condition));
        query.bindValue(QStringLiteral(":reason"), reason);
        query.bindValue(QStringLiteral(":id"), id);
        bindAll();
        bool ok = query.exec();
        const bool ends = ok && query.numRowsAffected() == 1;
        if (ends) {
            // Cases that finished keep their verdict; the others never ran.
            Prepare(QStringLiteral("update T_JobDetail set "
                                   "status = case when vStatus = 'pass' then 'pass' else 'fail' end, "
                                   "content = case when vStatus = 'running' then 'not run' else vRemark end, "
                                   "vStatus = case when vStatus = 'running' then 'not run' else vStatus end "
                                   "where jobId = :id;"));
            query.bindValue(QStringLiteral(":id"), id);
            ok = query.exec();
        }
        if (!ok || !CommitTransaction()) {
            RollbackTransaction();
            return false;
        }
        if (ends)
            ended.append(id);
    }
    return true;
}

bool LocalModel::GetRunningJobs(QList<DBT_Job>& out)
{
    Prepare(QLatin1String(kJobSelect) + QStringLiteral(" where status = 2 order by id;"));
    if (!query.exec())
        return false;
    readAll(query, kJobColumns, readJob, out, KnownColumns());
    query.finish();
    return true;
}

bool LocalModel::CountRunningJobs(qint64 heardMs, int& running, int& waiting, int& heard)
{
    Prepare(QStringLiteral("select count(*), sum(case when coalesce(waiting, 0) <> 0 then 1 else 0 end), "
                           "sum(case when seen >= :since then 1 else 0 end) from T_Job where status = 2;"));
    query.bindValue(QStringLiteral(":since"), seenNow(heardMs));
    if (!query.exec() || !query.next())
        return false;
    // A sum over no rows is NULL, which reads as 0.
    running = query.value(0).toInt();
    waiting = query.value(1).toInt();
    heard = query.value(2).toInt();
    query.finish();
    return true;
}

bool LocalModel::CountLab(qint64 leaseMs, int& queued, int& online)
{
    Prepare(QStringLiteral("select (select count(*) from T_Job where status = 1), "
                           "(select count(*) from T_Station where lastSeen > :since);"));
    query.bindValue(QStringLiteral(":since"), seenNow(leaseMs));
    if (!query.exec() || !query.next())
        return false;
    queued = query.value(0).toInt();
    online = query.value(1).toInt();
    query.finish();
    return true;
}

bool LocalModel::GetFinishedJobs(QList<DBT_Job>& out, int size)
{
    Prepare(QLatin1String(kJobSelect) + QStringLiteral(" where status = 3 order by id desc limit :size;"));
    query.bindValue(QStringLiteral(":size"), size);
    if (!query.exec())
        return false;
    readAll(query, kJobColumns, readJob, out, KnownColumns());
    query.finish();
    return true;
}

bool LocalModel::AddJobDetail(DBT_JobDetail& detail)
{
    Prepare(QStringLiteral("insert into T_JobDetail (jobId,tcId,seqIdx,status,content) values "
                                 "(:jobId, :tcId, :seqIdx, :status, :content)") + dialect.ReturningId());
    query.bindValue(QStringLiteral(":jobId"), detail.jobId);
    query.bindValue(QStringLiteral(":tcId"), detail.tcId);
    query.bindValue(QStringLiteral(":seqIdx"), detail.seqIdx);
    query.bindValue(QStringLiteral(":status"), detail.status);
    query.bindValue(QStringLiteral(":content"), detail.content.isNull() ? detail.content : TextCheck::Storable(detail.content));
    if (!InsertedId(detail.id))
        return false;
    return true;
}

bool LocalModel::GetJobDetails(const DBT_Job& job, QList<DBT_JobDetail>& out)
{
    Prepare(QStringLiteral("select * from T_JobDetail where jobId = :jobId order by seqIdx;"));
    query.bindValue(QStringLiteral(":jobId"), job.id);
    if (!query.exec())
        return false;
    // Reading a test case reuses the query, so collect the details first.
    const int first = out.size();
    readAll(query, kJobDetailColumns, readJobDetail, out, KnownColumns());
    query.finish();
    // The details and their test cases together make the reply: counted as
    // they are read, each test case refused from its size when what is left
    // cannot hold it.
    const auto tooLarge = [this, &out, first] {
        out.erase(out.begin() + first, out.end());
        limitError = QStringLiteral("Reply too large: the job's details come to more than %1 bytes").arg(readLimit);
        return false;
    };
    qint64 left = readLimit - kReplyReserve;
    for (int i = first; i < out.size(); ++i) {
        out[i].testcase = std::make_shared<DBT_Testcase>(out[i].tcId);
        if (readLimit > 0 && left <= 0)
            return tooLarge();
        if (!ReadTestcase(*out[i].testcase, readLimit > 0 ? left : 0))
            return limitError.isEmpty() ? false : tooLarge();
        left -= detailBytes(out[i]);
        if (readLimit > 0 && left < 0)
            return tooLarge();
    }
    return true;
}

bool LocalModel::QueryTcHistory(int tcId, int size, QList<TcRun>& out, QDateTime& changed, bool& exists)
{
    Prepare(QStringLiteral("select mTime from T_Tc where id = :id;"));
    query.bindValue(QStringLiteral(":id"), tcId);
    if (!query.exec())
        return false;
    exists = query.next();
    changed = exists ? query.value(0).toDateTime() : QDateTime();
    query.finish();
    if (!exists)
        return true;
    // The plain content is needed only to judge a detail stored before
    // verdicts were kept. Jobs without a start (none should be finished so)
    // come last on both databases, whose nulls sort differently.
    Prepare(QStringLiteral("select d.jobId, d.seqIdx, d.status, case when d.vStatus is null then d.content end, d.vStatus, "
                           "d.vRemark, d.vMs, j.planId, j.station, j.device, j.sTime from T_JobDetail d "
                           "join T_Job j on j.id = d.jobId where d.tcId = :tcId and j.status = 3 order by "
                           "case when j.sTime is null then 1 else 0 end, j.sTime desc, j.id desc, d.seqIdx desc limit :size;"));
    query.bindValue(QStringLiteral(":tcId"), tcId);
    query.bindValue(QStringLiteral(":size"), size);
    if (!query.exec())
        return false;
    TimeMemo times;
    while (query.next()) {
        TcRun run;
        run.detail.jobId = query.value(0).toInt();
        run.detail.tcId = tcId;
        run.detail.seqIdx = query.value(1).toInt();
        run.detail.status = query.value(2).toString();
        run.detail.content = query.value(3).toString();
        run.detail.verdict.status = query.value(4).toString();
        run.detail.verdict.remark = query.value(5).toString();
        const QVariant ms = query.value(6);
        run.detail.verdict.ms = ms.isNull() ? -1 : ms.toInt();
        run.planId = query.value(7).toInt();
        run.station = query.value(8).toString();
        run.device = query.value(9).toString();
        run.started = times(query.value(10));
        out.append(run);
    }
    query.finish();
    return true;
}
