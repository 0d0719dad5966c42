#pragma once

#include "server/UserTable.h"

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
    // Threads that read and write the connections; a connection holds none.
    int ioThreads = qMax(2, QThread::idealThreadCount());
    // Threads that answer requests, a database connection each: two per core
    // kept the database busy without making the answers wait for each other.
    int databaseWork = 2 * qMax(1, QThread::idealThreadCount());
    QByteArray token;
    // People and their roles (--users); empty: the one token, or none, and
    // every request may do anything.
    UserTable users;
    // Browser origins allowed on /api; empty keeps the defaults.
    QStringList origins;
    // Static files served at "/" (GET and HEAD); empty serves none.
    QString consoleDir;
    // A running job whose station has not been heard of for this long is
    // finished as "Station lost".
    int jobLeaseMs = 10 * 60 * 1000;
    // A station is online while its last "station_beat" is younger than
    // this; 0 shows every station offline at once.
    int stationLeaseMs = 30 * 1000;
    // A statement (or a wait for a lock) running longer is stopped and its
    // request answered with a failure; 0 lets it run.
    int databaseTimeoutMs = 30 * 1000;
    // A page or plan whose test cases alone pass what a host passes on to
    // its client (its default reply limit) fails before it is read whole.
    qint64 readLimit = 64 * 1024 * 1024;
    // The longest "tclist" that "sync_plan" stores.
    int maxTcList = 100000;

    // What one connection may cost. The header block counts its request
    // line, fields and blank line.
    int headerBytes = 16 * 1024;
    int headerFields = 100;
    qint64 maxBodyBytes = 16 << 20;
    // Each from the first byte of its part: a peer that trickles gets no
    // more time than one that sends nothing.
    int headerTimeoutMs = 10 * 1000;
    int bodyTimeoutMs = 10 * 1000;
    // A kept-alive connection waiting for its next request.
    int idleTimeoutMs = 60 * 1000;
    // For a whole reply to be taken.
    int writeTimeoutMs = 60 * 1000;
    // After a refusal the rest of the request is read and dropped this long,
    // so that the refusal reaches the peer before the connection closes.
    int lingerMs = 2 * 1000;
    int maxConnections = 4096;
    // Request bodies being read plus replies being written, all connections.
    qint64 maxBufferedBytes = qint64(256) << 20;
};
