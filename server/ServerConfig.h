#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QThread>

// How autotest-server was asked to run (its command line).
struct ServerConfig
{
    QString address = QStringLiteral("127.0.0.1");
    // 0 picks a free port.
    int port = 8080;
    // A SQLite file or a "postgresql://" URL.
    QString database;
    // Connections served at once, a thread each.
    int threads = 64;
    // Threads that answer requests, a database connection each: two per core
    // kept the database busy without making the answers wait for each other.
    int databaseWork = 2 * qMax(1, QThread::idealThreadCount());
    QByteArray token;
    // Browser origins allowed on /api; empty keeps the defaults.
    QStringList origins;
    qint64 maxBodyBytes = 16 << 20;
    // Static files served at "/" (GET only); empty serves none.
    QString consoleDir;
    // A running job whose station has not been heard of for this long is
    // finished as "Station lost".
    int jobLeaseMs = 10 * 60 * 1000;
};
