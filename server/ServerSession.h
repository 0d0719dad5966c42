#pragma once

#include "base/ComponentMap.h"
#include "local/LocalCommandTable.h"
#include "server/JobQueue.h"
#include "server/ServerJobRunner.h"
#include "server/StationRegistry.h"
#include "server/UserTable.h"
#include "storage/LocalModel.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// The test-management commands of one server thread: the host's local
// command table over a database connection of the thread's own. The
// connection opens at the first request and opens again after it was lost
// (a restarted PostgreSQL), so a database that comes back is used again
// without a restart.
class ServerSession
{
public:
    // `readLimit`: a page or plan whose test cases alone pass it fails before
    // it is read whole; `maxTcList`: the longest "tclist" of "sync_plan";
    // `stationLeaseMs`: how long a station is online after its beat.
    ServerSession(const QString& database, const QString& connectionName, int jobLeaseMs = ServerJobRunner::DefaultLeaseMs,
                  int statementTimeoutMs = 0, qint64 readLimit = 64 * 1024 * 1024, int maxTcList = 100000,
                  int stationLeaseMs = StationRegistry::DefaultLeaseMs);
    ServerSession(const ServerSession&) = delete;
    ServerSession& operator=(const ServerSession&) = delete;

    // Answers one request body, done as `user`. `status` is the HTTP status
    // (200, a command beyond the user's role included; 400 for a body that
    // is not a JSON object); `cmd` the command, for the log.
    QByteArray Handle(const QByteArray& body, const ServerUser& user, int& status, QString& cmd);
    // Without a users file: done as the one token's holder, who may do anything.
    QByteArray Handle(const QByteArray& body, int& status, QString& cmd) { return Handle(body, ServerUser(), status, cmd); }
    // Answers one parsed request whose role was checked. A change is
    // recorded in the audit table, as `user`, in its own transaction.
    QJsonObject Answer(const QJsonObject& request, const ServerUser& user = ServerUser());

    // Finishes the jobs that have been silent for the job lease, or
    // (`stations`) whose station has been silent for the station lease.
    void ExpireJobs(bool stations = false);
    // What the last request asks of the held beats (JobQueue::Outcome).
    JobQueue::Outcome TakeLabOutcome() { return m_queue.TakeOutcome(); }
    // The next request is a held beat tried again.
    void SetRetrying(bool retrying) { m_queue.SetRetrying(retrying); }
    // Opens the connection if it is not open; false with the reason.
    bool Connect(QString& error);
    bool IsOpen() const { return m_model.IsOpen(); }
    // Whether `cmd` is a command this session answers.
    bool Knows(const QString& cmd) const { return m_commands.Has(cmd); }
    // How many times a request found the connection lost.
    int Losses() const { return m_losses; }
    // Closes the connection if it no longer answers, so that the next
    // request opens a new one instead of failing on it.
    void DropIfLost();

private:
    // Runs an audited command and records it in one transaction: both, or
    // neither when either fails.
    void DispatchAudited(const QString& cmd, const QJsonObject& request, const ServerUser& user, QJsonObject& reply);

    QString m_database;
    QString m_connectionName;
    qint64 m_readLimit;
    LocalModel m_model;
    ComponentMap m_components;
    LocalCommandTable m_commands;
    ServerJobRunner m_runner;
    StationRegistry m_stations;
    JobQueue m_queue;
    int m_losses = 0;
};
