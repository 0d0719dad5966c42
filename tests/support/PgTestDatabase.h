#pragma once

#include <QString>

// A database of the test's own in the PostgreSQL cluster that KIV_TEST_PGURL
// names (tools/pgtest.sh starts one), dropped again at destruction.
class PgTestDatabase
{
public:
    PgTestDatabase() = default;
    ~PgTestDatabase();
    PgTestDatabase(const PgTestDatabase&) = delete;
    PgTestDatabase& operator=(const PgTestDatabase&) = delete;

    static bool Available() { return !qEnvironmentVariableIsEmpty("KIV_TEST_PGURL"); }
    // False with the reason in ErrorText().
    bool Create();
    QString Url() const { return m_url; }
    QString ErrorText() const { return m_error; }
    // Ends every connection to the database, as a restart of the server does.
    bool DropConnections();

private:
    bool Exec(const QString& statement);

    QString m_name;
    QString m_url;
    QString m_error;
};
