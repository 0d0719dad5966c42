#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

class QSqlDatabase;

// What differs between the two databases the test-management model runs on:
// a SQLite file (the host's local mode, the server's default) and a
// PostgreSQL server that several server processes may share. Every SQL text
// that is not plain standard SQL comes from here, so that both keep the same
// schema and answers: ids from the database, case-insensitive path prefixes
// that ignore only ASCII case, test cases without a path first, cascades.
class SqlDialect
{
public:
    enum Kind { Sqlite, Postgres };

    explicit SqlDialect(Kind kind = Sqlite) : m_kind(kind) {}
    // A "postgresql://" (or "postgres://") URL names a PostgreSQL database,
    // anything else a SQLite file.
    static SqlDialect ForDatabase(const QString& database);

    Kind Which() const { return m_kind; }
    QString DriverName() const;
    // Points `db` at the file or the server the text names; false with the
    // reason in `error` when the URL cannot be used.
    bool Configure(QSqlDatabase& db, const QString& database, QString& error) const;

    // Tables, then indexes, in the order they must run at every open. Several
    // processes may open one PostgreSQL database at once: the statements run
    // in one transaction under an advisory lock (SchemaLock), since
    // concurrent "if not exists" creations can still collide.
    QStringList Schema() const;
    // Columns added since the first schema, as (table, column, type); Open
    // adds the ones an older database lacks.
    struct Column { const char* table; const char* name; QString type; };
    QList<Column> AddedColumns() const;
    // A statement that yields a row when `table` has the column `name`;
    // empty where "add column if not exists" is understood instead.
    QString HasColumn(const QString& table, const QString& name) const;
    QString AddColumn(const Column& column) const;
    QStringList Indexes() const;
    QString SchemaLock() const;
    // Statements that tune a connection after it opened (cache size).
    QStringList Tuning() const;
    bool HasJournalModes() const { return m_kind == Sqlite; }

    // The current local time, to the second, as a column default would set it.
    QString Now() const;
    // " where ..." matching :path as a case-insensitive `like` prefix, and the
    // order of test-case pages (path ignoring ASCII case, no path first, id).
    QString PathWhere() const;
    QString TestcaseOrder() const;
    // A condition that holds when `column` contains the text bound to
    // `parameter` (a pattern from ContainsPattern), ignoring the case of
    // ASCII letters as path prefixes do.
    QString Contains(const QString& column, const QString& parameter) const;
    // `text` as a `like` pattern that finds it anywhere, its % and _ taken
    // as themselves (escaped with a backslash, which Contains declares).
    static QString ContainsPattern(const QString& text);
    // Begins a transaction that takes the write lock at once.
    QString Begin() const;
    // Appended to an insert so that it yields the new row's id as a row;
    // empty where the driver's last insert id is used instead.
    QString ReturningId() const;
    // Inserts :tcIds (a JSON array of ids, as text) as links of :planId, in
    // array order.
    QString InsertPlanTestcases() const;
    // Inserts one running detail of :jobId per id of :tcIds (a JSON array),
    // its place in the array as seqIdx.
    QString InsertJobDetails() const;
    // The condition on T_Job that a queued job fits device :url of station
    // :station with tags :tags (a JSON array): it asked for that device, or
    // for tags the device all has.
    QString QueueFits() const;
    // A bindable date-time: NULL for a null one.
    QVariant TimeValue(const QDateTime& value) const;

private:
    Kind m_kind;
};
