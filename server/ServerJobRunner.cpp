#include "server/ServerJobRunner.h"

#include "base/ComponentMap.h"
#include "local/CaseVerdict.h"
#include "local/JobRecord.h"
#include "local/LocalJobContext.h"
#include "platform/Debugger.h"
#include "server/JobQueue.h"
#include "storage/LocalModel.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>

namespace {

const QString kResult = QStringLiteral("result");

// Compares in a time that does not tell how much of a guess was right.
bool sameSecret(const QString& given, const QString& stored)
{
    if (given.size() != stored.size())
        return false;
    ushort differ = 0;
    for (int i = 0; i < stored.size(); ++i)
        differ |= given.at(i).unicode() ^ stored.at(i).unicode();
    return differ == 0;
}

// The stored job that a station's post names, if the post may touch it:
// false with "result" set in `reply` otherwise.
bool jobOfStation(LocalModel* model, const QJsonObject& request, DBT_Job& job, QJsonObject& reply)
{
    const QString cmd = request.value(QStringLiteral("cmd")).toString();
    const QJsonValue jobId = request.value(QStringLiteral("jobid"));
    if (!jobId.isDouble()) {
        reply.insert(kResult, QStringLiteral("%1 needs \"jobid\" (a number)").arg(cmd));
        return false;
    }
    job.id = jobId.toInt(0);
    if (!model->GetJob(job) || !model->JobSecrets(job)) {
        const QString error = model->LastErrorText();
        reply.insert(kResult, error.isEmpty() ? QStringLiteral("%1: there is no job %2").arg(cmd).arg(jobId.toDouble()) : error);
        return false;
    }
    // Only the station the job was handed to knows its secret. A job stored
    // before secrets were kept has none and takes any report, as then.
    const QJsonValue secret = request.value(QStringLiteral("secret"));
    if (!job.secret.isEmpty() && (!secret.isString() || !sameSecret(secret.toString(), job.secret))) {
        reply.insert(kResult, QStringLiteral("%1: job %2 was not handed to the sender (wrong or missing \"secret\")")
                                  .arg(cmd).arg(job.id));
        return false;
    }
    return true;
}

// Whether `tcs`, placed from `from` on, fits the job's own list: no more
// entries than it has cases, each naming the case at its place.
bool fitsJob(const DBT_Job& job, const QJsonArray& tcs, int from, QJsonObject& reply, const QString& cmd)
{
    const QJsonArray ids = QJsonDocument::fromJson(job.caseIds.toUtf8()).array();
    const int total = job.caseIds.isEmpty() ? job.totalCnt : int(ids.size());
    if (from < 0 || qint64(from) + tcs.size() > total) {
        reply.insert(kResult, QStringLiteral("%1: job %2 ran %3 test cases, not %4")
                                  .arg(cmd).arg(job.id).arg(total).arg(qint64(from) + tcs.size()));
        return false;
    }
    for (int i = 0; i < tcs.size() && !job.caseIds.isEmpty(); ++i) {
        const QJsonValue entry = tcs.at(i);
        const QJsonValue id = entry.toObject().value(QStringLiteral("id"));
        if (!entry.isObject() || !id.isDouble() || id.toDouble() != ids.at(from + i).toDouble()) {
            reply.insert(kResult, QStringLiteral("%1: entry %2 of job %3 names test case %4, but the job ran test case %5 there")
                                      .arg(cmd).arg(from + i).arg(job.id)
                                      .arg(id.isUndefined() ? QStringLiteral("none") : id.toVariant().toString())
                                      .arg(ids.at(from + i).toInt()));
            return false;
        }
    }
    return true;
}

} // namespace

void ServerJobRunner::PrepareJob(DBT_Job& job)
{
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    job.secret = QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(words), sizeof words).toHex());
}

void ServerJobRunner::StartJob(const LocalJobContext& context, QJsonObject& reply)
{
    QJsonObject job;
    JobRecord::BuildRequest(context, job);
    // The station keeps these to itself; they travel in what it runs, which
    // its clients never see.
    job.insert(QStringLiteral("secret"), context.job.secret);
    job.insert(QStringLiteral("lease_ms"), m_leaseMs);
    reply.insert(QStringLiteral("job"), job);
}

bool ServerJobRunner::RunningJobs(QList<DBT_Job>& out, QString& error)
{
    QList<DBT_Job> queued;
    if (m_model->GetRunningJobs(out) && m_model->QueuedJobs(MaxQueued, queued)) {
        out += queued;
        return true;
    }
    error = m_model->LastErrorText();
    return false;
}

bool ServerJobRunner::ExpireJobs(QString& error)
{
    QList<int> ended;
    if (!m_model->AbandonJobs(QStringLiteral("Station lost"), m_leaseMs, ended)) {
        error = m_model->LastErrorText();
        return false;
    }
    for (const int job : qAsConst(ended))
        KIV_LOG("Server", "ServerJobRunner::ExpireJobs", 1) << "Job " << job << ": no news from its station for "
                                                            << m_leaseMs / 1000 << " s, finished as \"Station lost\"";
    return true;
}

bool ServerJobRunner::ExpireStations(QString& error)
{
    if (m_stationLeaseMs <= 0)
        return true;
    QList<int> ended;
    if (!m_model->AbandonStationJobs(QStringLiteral("Station lost"), QString(), QString(), m_stationLeaseMs, ended)) {
        error = m_model->LastErrorText();
        return false;
    }
    for (const int job : qAsConst(ended))
        KIV_LOG("Server", "ServerJobRunner::ExpireStations", 1) << "Job " << job << ": its station has been silent for "
                                                                << m_stationLeaseMs / 1000.0 << " s, finished as \"Station lost\"";
    return true;
}

void ServerJobRunner::OnJobReport(ComponentMap* components, const QJsonObject& request, QJsonObject& reply)
{
    const QJsonValue report = request.value(QStringLiteral("report"));
    if (!request.value(QStringLiteral("jobid")).isDouble() || !report.isObject()
        || !report.toObject().value(QStringLiteral("VALUE")).isObject()) {
        reply.insert(kResult, QStringLiteral("job_report needs \"jobid\" (a number) and \"report\" (the worker's report "
                                             "object, whose \"VALUE\" is an object)"));
        return;
    }
    LocalModel* model = components->Get<LocalModel>("LocalModel");
    DBT_Job job;
    if (!jobOfStation(model, request, job, reply))
        return;
    if (job.status != 2 && job.verdict.reason != QLatin1String("Station lost")) {
        reply.insert(kResult, QStringLiteral("job %1 was reported already").arg(job.id));
        return;
    }
    const QJsonValue tcs = report.toObject().value(QStringLiteral("VALUE")).toObject().value(QStringLiteral("tcs"));
    if (!tcs.isUndefined() && !tcs.isArray()) {
        reply.insert(kResult, QStringLiteral("job_report: \"tcs\" of job %1 is not an array").arg(job.id));
        return;
    }
    if (!fitsJob(job, tcs.toArray(), 0, reply, QStringLiteral("job_report")))
        return;
    QString error;
    if (!JobRecord::RecordReport(model, job, report.toObject(), true, error)) {
        reply.insert(kResult, error.trimmed());
        return;
    }
    // Its device is free: the station's held beat may take the next job.
    if (JobQueue* queue = components->Get<JobQueue>("Queue"))
        queue->WakeStation(job.station);
    reply.insert(kResult, QStringLiteral("ok"));
}

void ServerJobRunner::OnJobProgress(ComponentMap* components, const QJsonObject& request, QJsonObject& reply)
{
    const QJsonValue tcs = request.value(QStringLiteral("tcs"));
    const QJsonValue from = request.value(QStringLiteral("from"));
    if (!tcs.isArray() || !from.isDouble()) {
        reply.insert(kResult, QStringLiteral("job_progress needs \"jobid\", \"from\" (numbers) and \"tcs\" (an array)"));
        return;
    }
    LocalModel* model = components->Get<LocalModel>("LocalModel");
    DBT_Job job;
    if (!jobOfStation(model, request, job, reply))
        return;
    if (job.status != 2) {
        reply.insert(kResult, QStringLiteral("job %1 is not running").arg(job.id));
        return;
    }
    const int first = from.toInt(-1);
    if (!fitsJob(job, tcs.toArray(), first, reply, QStringLiteral("job_progress")))
        return;
    QList<CaseVerdict> verdicts;
    for (const QJsonValue& entry : tcs.toArray())
        verdicts.append(CaseVerdict::OfEntry(entry.toObject()));
    LocalModel::Progress progress;
    progress.countFinished = true;
    const QJsonValue waiting = request.value(QStringLiteral("waiting"));
    if (waiting.isBool())
        progress.waiting = waiting.toBool() ? 1 : 0;
    bool running = false;
    if (!model->RecordProgress(job.id, first, verdicts, progress, running)) {
        reply.insert(kResult, model->LastErrorText());
        return;
    }
    reply.insert(kResult, running ? QStringLiteral("ok") : QStringLiteral("job %1 is not running").arg(job.id));
}
