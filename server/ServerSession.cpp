#include "server/ServerSession.h"

#include "front/RequestEnvelope.h"
#include "platform/Debugger.h"

#include <QJsonDocument>
#include <QJsonParseError>

ServerSession::ServerSession(const QString& database, const QString& connectionName, int jobLeaseMs, int statementTimeoutMs)
    : m_database(database)
    , m_connectionName(connectionName)
{
    // Applied to every connection the model opens, a reopened one included.
    m_model.SetStatementTimeout(statementTimeoutMs);
    m_runner.SetModel(&m_model);
    m_runner.SetLease(jobLeaseMs);
    m_components.Register("LocalModel", &m_model);
    m_components.Register("JobRunner", static_cast<JobRunner*>(&m_runner));
    m_commands.SetComponentMap(&m_components);
    m_commands.Add(QStringLiteral("job_report"), &ServerJobRunner::OnJobReport);
    m_commands.Add(QStringLiteral("job_progress"), &ServerJobRunner::OnJobProgress);
}

void ServerSession::ExpireJobs()
{
    QString error;
    if (!Connect(error) || !m_runner.ExpireJobs(error))
        KIV_LOG("Server", "ServerSession::ExpireJobs", 1) << "Can't look for jobs whose station went silent: " << error;
}

bool ServerSession::Connect(QString& error)
{
    if (m_model.IsOpen())
        return true;
    if (m_model.Open(m_database, m_connectionName)) {
        // A page or plan whose test cases alone pass the host's reply limit
        // fails before it is read whole.
        m_model.SetReadLimit(RequestEnvelope::MaxReplySize());
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

QJsonObject ServerSession::Answer(const QJsonObject& request)
{
    const QString cmd = request.value(QStringLiteral("cmd")).toString();
    QJsonObject reply;
    QString error;
    if (!Connect(error)) {
        reply.insert(QStringLiteral("result"), QStringLiteral("Database is not available: ") + error);
    } else if (!m_commands.Dispatch(request, reply)) {
        // The text of the host's local mode, so that a client cannot tell the two apart.
        reply.insert(QStringLiteral("result"), QStringLiteral("Local AT Server not support cmd: ") + cmd);
    } else if (reply.value(QStringLiteral("result")) != QLatin1String("ok") && !m_model.Reachable()) {
        // Failures are rare, so checking the connection after each costs
        // little; a lost one is opened again at the next request.
        KIV_LOG("Server", "ServerSession::Answer", 1) << "Database connection lost, reconnecting at the next request: "
                                                      << m_model.ConnectionErrorText();
        reply.insert(QStringLiteral("result"), QStringLiteral("Database connection lost, try again: ")
                                                   + reply.value(QStringLiteral("result")).toString());
        m_model.Close();
        ++m_losses;
    }
    reply.insert(QStringLiteral("cmd"), cmd);
    return reply;
}

QByteArray ServerSession::Handle(const QByteArray& body, int& status, QString& cmd)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        status = 400;
        const QString why = error.error != QJsonParseError::NoError
            ? QStringLiteral("%1 at offset %2").arg(error.errorString()).arg(error.offset)
            : QStringLiteral("it is a JSON array");
        return QJsonDocument(QJsonObject{{QStringLiteral("result"),
                                          QStringLiteral("The request body is not a JSON object: ") + why}})
            .toJson(QJsonDocument::Compact);
    }
    status = 200;
    const QJsonObject reply = Answer(document.object());
    cmd = reply.value(QStringLiteral("cmd")).toString();
    return QJsonDocument(reply).toJson(QJsonDocument::Compact);
}
