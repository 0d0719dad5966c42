#include "tests/support/PgTestDatabase.h"

#include "storage/SqlDialect.h"

#include <QCoreApplication>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>

namespace {

const QString kAdmin = QStringLiteral("PgTestDatabase-admin");

} // namespace

PgTestDatabase::~PgTestDatabase()
{
    if (!m_name.isEmpty())
        Exec(QStringLiteral("drop database if exists %1 with (force);").arg(m_name));
    QSqlDatabase::removeDatabase(kAdmin);
}

bool PgTestDatabase::Exec(const QString& statement)
{
    QSqlDatabase admin = QSqlDatabase::database(kAdmin, false);
    if (!admin.isValid()) {
        admin = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), kAdmin);
        const SqlDialect dialect(SqlDialect::Postgres);
        if (!dialect.Configure(admin, qEnvironmentVariable("KIV_TEST_PGURL"), m_error))
            return false;
    }
    if (!admin.isOpen() && !admin.open()) {
        m_error = admin.lastError().text();
        return false;
    }
    QSqlQuery query(admin);
    if (query.exec(statement))
        return true;
    m_error = query.lastError().text();
    return false;
}

bool PgTestDatabase::Create()
{
    static int serial = 0;
    const QString name = QStringLiteral("kiv_%1_%2").arg(QCoreApplication::applicationPid()).arg(++serial);
    if (!Exec(QStringLiteral("create database %1;").arg(name)))
        return false;
    m_name = name;
    QUrl url(qEnvironmentVariable("KIV_TEST_PGURL"));
    url.setPath(QLatin1Char('/') + name);
    m_url = url.toString();
    return true;
}

bool PgTestDatabase::DropConnections()
{
    return Exec(QStringLiteral("select pg_terminate_backend(pid) from pg_stat_activity where datname = '%1';").arg(m_name));
}
