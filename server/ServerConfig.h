#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// How autotest-server was asked to run (its command line).
struct ServerConfig
{
    QString address = QStringLiteral("127.0.0.1");
    // 0 picks a free port.
    int port = 8080;
    // A SQLite file or a "postgresql://" URL.
    QString database;
    // Requests served at once; each thread keeps one database connection.
    int threads = 64;
    // Requests that work the database at once; the others wait their turn.
    int databaseWork = 8;
    QByteArray token;
    // Browser origins allowed on /api; empty keeps the defaults.
    QStringList origins;
    qint64 maxBodyBytes = 16 << 20;
    // Static files served at "/" (GET only); empty serves none.
    QString consoleDir;
};
