#include "server/ServerSession.h"

#include "platform/Debugger.h"
#include "server/CommandAccess.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

namespace {

const QString kResult = QStringLiteral("result");

const int kMaxAuditPage = 10000;

// "audit_log": a page of the audit table, newest first, paged as "my_plans"
// pages ("page" from 1, "size").
void auditLog(ComponentMap* components, const QJsonObject& request, QJsonObject& reply)
{
    const int page = request.value(QStringLiteral("page")).toInt(1);
    const int size = request.value(QStringLiteral("size")).toInt(20);
    // Bounded: a page is built whole before it is answered.
    if (size < 1 || size > kMaxAuditPage) {
        reply.insert(kResult, size < 1 ? QStringLiteral("size must be 1 or more")
                                       : QStringLiteral("size must be %1 or less").arg(kMaxAuditPage));
        return;
    }
    LocalModel* model = components->Get<LocalModel>("LocalModel");
    QList<LocalModel::AuditEntry> entries;
    int count = 0;
    if (!model->QueryAudit(page, size, entries, count)) {
        reply.insert(kResult, model->LastErrorText());
        return;
    }
    QJsonArray data;
    for (const LocalModel::AuditEntry& entry : qAsConst(entries))
        data.append(QJsonObject{{QStringLiteral("time"), entry.time},
                                {QStringLiteral("user"), entry.user},
                                {QStringLiteral("cmd"), entry.cmd},
                                {QStringLiteral("ids"), QJsonDocument::fromJson(entry.ids.toUtf8()).object()}});
    reply.insert(kResult, QStringLiteral("ok"));
    reply.insert(QStringLiteral("maxpage"), int((qint64(count) - 1 + size) / size));
    reply.insert(QStringLiteral("count"), count);
    reply.insert(QStringLiteral("page"), page);
    reply.insert(QStringLiteral("data"), data);
}

} // namespace

ServerSession::ServerSession(const QString& database, const QString& connectionName, int jobLeaseMs, int statementTimeoutMs,
                             qint64 readLimit, int maxTcList, int stationLeaseMs)
    : m_database(database)
    , m_connectionName(connectionName)
    , m_readLimit(readLimit)
{
    // Applied to every connection the model opens, a reopened one included.
    m_model.SetStatementTimeout(statementTimeoutMs);
    m_runner.SetModel(&m_model);
    m_runner.SetLease(jobLeaseMs);
    m_stations.SetModel(&m_model);
    m_stations.SetLease(stationLeaseMs);
    m_runner.SetStationLease(stationLeaseMs);
    m_queue.SetModel(&m_model);
    m_queue.SetRunner(&m_runner);
    m_components.Register("LocalModel", &m_model);
    m_components.Register("Stations", &m_stations);
    m_components.Register("Queue", &m_queue);
    m_components.Register("JobRunner", static_cast<JobRunner*>(&m_runner));
    m_commands.SetComponentMap(&m_components);
    m_commands.SetMaxTcList(maxTcList);
    m_commands.Add(QStringLiteral("job_report"), &ServerJobRunner::OnJobReport);
    m_commands.Add(QStringLiteral("job_progress"), &ServerJobRunner::OnJobProgress);
    m_commands.Add(QStringLiteral("audit_log"), &auditLog);
    m_commands.Add(QStringLiteral("station_beat"), &StationRegistry::OnStationBeat);
    m_commands.Add(QStringLiteral("lab_state"), &StationRegistry::OnLabState);
    m_commands.Add(QStringLiteral("queue_job"), &JobQueue::OnQueueJob);
    m_commands.Add(QStringLiteral("cancel_job"), &JobQueue::OnCancelJob);
}

void ServerSession::ExpireJobs(bool stations)
{
    QString error;
    if (!Connect(error) || !(stations ? m_runner.ExpireStations(error) : m_runner.ExpireJobs(error)))
        KIV_LOG("Server", "ServerSession::ExpireJobs", 1) << "Can't look for jobs whose station went silent: " << error;
}

bool ServerSession::Connect(QString& error)
{
    if (m_model.IsOpen())
        return true;
    if (m_model.Open(m_database, m_connectionName)) {
        // A page or plan whose test cases alone pass the host's reply limit
        // fails before it is read whole.
        m_model.SetReadLimit(m_readLimit);
        return true;
    }
    error = m_model.LastErrorText();
    if (error.isEmpty())
        error = m_model.ConnectionErrorText();
    m_model.Close();
    return false;
}

void ServerSession::DropIfLost()
{
    if (m_model.IsOpen() && !m_model.Reachable())
        m_model.Close();
}

void ServerSession::DispatchAudited(const QString& cmd, const QJsonObject& request, const ServerUser& user, QJsonObject& reply)
{
    if (!m_model.BeginTransaction()) {
        reply.insert(kResult, m_model.LastErrorText());
        return;
    }
    m_commands.Dispatch(request, reply);
    // A handler whose own transaction failed may have ended this one too.
    if (!m_model.InTransaction())
        return;
    if (reply.value(kResult) != QLatin1String("ok")) {
        m_model.RollbackTransaction();
        return;
    }
    LocalModel::AuditEntry entry;
    entry.time = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    entry.user = user.named ? user.name : QStringLiteral("-");
    entry.cmd = cmd;
    entry.ids = QString::fromUtf8(QJsonDocument(CommandAccess::Ids(cmd, request, reply)).toJson(QJsonDocument::Compact));
    if (m_model.AddAudit(entry) && m_model.CommitTransaction())
        return;
    // Not recorded, so not done: the change goes with its audit row.
    const QString error = m_model.LastErrorText();
    m_model.RollbackTransaction();
    reply = QJsonObject{{kResult, QStringLiteral("The change was not made: it could not be recorded in the audit table: ") + error}};
}

QJsonObject ServerSession::Answer(const QJsonObject& request, const ServerUser& user)
{
    const QString cmd = request.value(QStringLiteral("cmd")).toString();
    QJsonObject reply;
    QString error;
    if (!Connect(error)) {
        reply.insert(kResult, QStringLiteral("Database is not available: ") + error);
    } else if (!m_commands.Has(cmd)) {
        // The text of the host's local mode, so that a client cannot tell the two apart.
        reply.insert(kResult, QStringLiteral("Local AT Server not support cmd: ") + cmd);
    } else {
        if (CommandAccess::Audited(cmd))
            DispatchAudited(cmd, request, user, reply);
        else
            m_commands.Dispatch(request, reply);
        // Failures are rare, so checking the connection after each costs
        // little; a lost one is opened again at the next request.
        if (reply.value(kResult) != QLatin1String("ok") && !m_model.Reachable()) {
            KIV_LOG("Server", "ServerSession::Answer", 1) << "Database connection lost, reconnecting at the next request: "
                                                          << m_model.ConnectionErrorText();
            reply.insert(kResult, QStringLiteral("Database connection lost, try again: ") + reply.value(kResult).toString());
            m_model.Close();
            ++m_losses;
        }
    }
    reply.insert(QStringLiteral("cmd"), cmd);
    return reply;
}

QByteArray ServerSession::Handle(const QByteArray& body, const ServerUser& user, int& status, QString& cmd)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        status = 400;
        const QString why = error.error != QJsonParseError::NoError
            ? QStringLiteral("%1 at offset %2").arg(error.errorString()).arg(error.offset)
            : QStringLiteral("it is a JSON array");
        return QJsonDocument(QJsonObject{{kResult, QStringLiteral("The request body is not a JSON object: ") + why}})
            .toJson(QJsonDocument::Compact);
    }
    QJsonObject request = document.object();
    cmd = request.value(QStringLiteral("cmd")).toString();
    const QString refusal = m_commands.Has(cmd) ? CommandAccess::Refusal(cmd, user) : QString();
    // Answered as every other refusal of the API is, with 200 and a
    // "result": a station passes it on to its client as the server's own
    // words, and keeps using this server.
    if (!refusal.isEmpty()) {
        status = 200;
        return QJsonDocument(QJsonObject{{kResult, refusal}, {QStringLiteral("cmd"), cmd}}).toJson(QJsonDocument::Compact);
    }
    // A job's starter is who started it, whatever the request claims.
    if (user.named && (cmd == QLatin1String("execute_job_local") || cmd == QLatin1String("queue_job")))
        request.insert(QStringLiteral("starter"), user.name);
    status = 200;
    return QJsonDocument(Answer(request, user)).toJson(QJsonDocument::Compact);
}
