#include "server/JobQueue.h"

#include "base/ComponentMap.h"
#include "local/JobRecord.h"
#include "local/LocalJobContext.h"
#include "local/RecordJson.h"
#include "platform/Debugger.h"
#include "server/ServerJobRunner.h"

#include <QDateTime>
#include <QJsonDocument>


namespace {

const QString kResult = QStringLiteral("result");

const int kMaxText = 500;
const int kMaxTag = 100;

QStringList tagsOf(const QString& json)
{
    QStringList tags;
    for (const QJsonValue& tag : QJsonDocument::fromJson(json.toUtf8()).array())
        tags.append(tag.toString());
    return tags;
}

// What a queued job asks of a device, as the held beats match it.
LabWake wantOf(const DBT_Job& job)
{
    LabWake want;
    want.device = job.queueDevice;
    want.queueStation = job.queueStation;
    want.tags = tagsOf(job.queueTags);
    return want;
}

// An integer in [min, max], or the refusal naming `name`.
QString integerRefusal(const QString& name, const QJsonValue& value, int min, int max)
{
    int number = 0;
    if (!IntegerIn(value, min, max, number))
        return QStringLiteral("%1 must be an integer from %2 to %3").arg(name).arg(min).arg(max);
    return QString();
}

// Reads what "queue_job" asks for into `job`; the refusal otherwise.
QString readQueueJob(const QJsonObject& request, DBT_Job& job)
{
    QString refusal = integerRefusal(QStringLiteral("queue_job: planid"), request.value(QStringLiteral("planid")), 1, 2147483647);
    if (!refusal.isEmpty())
        return refusal;
    const QJsonValue priority = request.value(QStringLiteral("priority"));
    if (!priority.isUndefined()) {
        refusal = integerRefusal(QStringLiteral("queue_job: priority"), priority, -JobQueue::MaxPriority, JobQueue::MaxPriority);
        if (!refusal.isEmpty())
            return refusal;
        job.priority = priority.toInt();
    }
    const QJsonValue device = request.value(QStringLiteral("device"));
    const QJsonValue tags = request.value(QStringLiteral("tags"));
    const QJsonValue station = request.value(QStringLiteral("station"));
    if (device.isUndefined() == tags.isUndefined())
        return QStringLiteral("queue_job needs either \"device\" (a device url) or \"tags\" (the tags a device must have)");
    if (!device.isUndefined()) {
        if (!device.isString() || device.toString().isEmpty() || device.toString().size() > kMaxText)
            return QStringLiteral("queue_job: device must be a device url of 1 to %1 characters").arg(kMaxText);
        job.queueDevice = device.toString();
        if (!station.isUndefined()) {
            if (!station.isString() || station.toString().isEmpty() || station.toString().size() > kMaxText)
                return QStringLiteral("queue_job: station must be a station name of 1 to %1 characters").arg(kMaxText);
            job.queueStation = station.toString();
        }
        return QString();
    }
    if (!station.isUndefined())
        return QStringLiteral("queue_job: station goes with device, not with tags");
    const QJsonArray list = tags.toArray();
    if (!tags.isArray() || list.isEmpty() || list.size() > JobQueue::MaxTags)
        return QStringLiteral("queue_job: tags must be an array of 1 to %1 tags").arg(JobQueue::MaxTags);
    for (const QJsonValue& tag : list) {
        if (!tag.isString() || tag.toString().isEmpty() || tag.toString().size() > kMaxTag)
            return QStringLiteral("queue_job: each tag must be a string of 1 to %1 characters").arg(kMaxTag);
    }
    job.queueTags = QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Compact));
    return QString();
}

} // namespace

JobQueue::Outcome JobQueue::TakeOutcome()
{
    return std::exchange(m_outcome, Outcome());
}

void JobQueue::WakeStation(const QString& station)
{
    if (station.isEmpty())
        return;
    LabWake wake;
    wake.station = station;
    m_outcome.wakes.append(wake);
}

bool JobQueue::Serve(const Beat& beat, QJsonObject& reply, QString& error)
{
    const auto failed = [this, &error] {
        error = m_model->LastErrorText();
        return false;
    };
    // A job handed to an earlier run of the station's program is gone with it.
    QList<int> ended;
    if (!m_model->AbandonStationJobs(QStringLiteral("Station lost"), beat.station, beat.boot, 0, ended))
        return failed();
    for (const int id : qAsConst(ended))
        KIV_LOG("Server", "JobQueue::Serve", 1) << "Job " << id << ": station " << beat.station
                                                << " started again while it ran the job, finished as \"Station lost\"";

    QList<LocalModel::StationJob> running;
    if (!m_model->StationJobs(beat.station, running))
        return failed();
    QSet<int> known;
    QSet<QString> busy;
    QJsonArray cancels;
    QList<int> newCancels;
    for (const LocalModel::StationJob& job : qAsConst(running)) {
        known.insert(job.id);
        // Beats go one at a time: one sent after the answer that carried the
        // job names it until its report is taken, unless that answer never
        // arrived, or the station gave the report up.
        if (!job.device.isEmpty() && job.boot == beat.boot && job.seq < beat.seq && !beat.held.contains(job.id)) {
            QList<int> ended;
            bool requeued = false;
            if (job.cancel || job.heard) {
                // Cancelled before it ran, or run with its report lost: a
                // report that still comes is taken in place of "Station lost".
                if (!m_model->AbandonJob(job.id, job.cancel ? QStringLiteral("Cancelled") : QStringLiteral("Station lost"), ended))
                    return failed();
            } else if (!m_model->RequeueJob(job.id, beat.station, requeued)) {
                return failed();
            }
            if (requeued) {
                KIV_LOG("Server", "JobQueue::Serve", 1) << "Job " << job.id << " never reached station " << beat.station
                                                        << " (beat " << job.seq << "); queued again";
                DBT_Job again;
                again.id = job.id;
                if (m_model->GetJob(again))
                    m_outcome.wakes.append(wantOf(again));
            }
            if (requeued || !ended.isEmpty())
                continue;
        }
        if (!job.device.isEmpty())
            busy.insert(job.device);
        if (job.cancel > 0)
            cancels.append(job.id);
        if (job.cancel == 1)
            newCancels.append(job.id);
    }
    if (!newCancels.isEmpty() && !m_model->CancelsSent(newCancels))
        return failed();

    // A device busy with a job of the station's that has ended here is
    // free: its beat was written before the report came. Only the jobs the
    // station says it holds count: a device's "jobid" may be a client's own.
    QList<int> named;
    for (const LocalModel::DeviceRow& device : beat.devices) {
        if (device.jobId <= 0 || !beat.held.contains(device.jobId))
            continue;
        named.append(device.jobId);
        if (!known.contains(device.jobId) && !m_model->TieJob(device.jobId, beat.station))
            return failed();
    }
    QHash<int, int> statuses;
    if (!named.isEmpty() && !m_model->JobStatuses(named, statuses))
        return failed();
    QList<BeatWaiters::Device> free;
    QList<QString> freeTags;
    for (const LocalModel::DeviceRow& device : beat.devices) {
        const bool ended = device.state == QLatin1String("busy") && device.jobId > 0 && statuses.value(device.jobId) == 3;
        if ((device.state == QLatin1String("free") || ended) && !busy.contains(device.url)) {
            free.append({device.url, tagsOf(device.tags)});
            freeTags.append(device.tags.isEmpty() ? QStringLiteral("[]") : device.tags);
        }
    }

    QJsonArray jobs;
    QSet<int> gone;
    for (int d = 0; d < free.size(); ++d) {
        QList<DBT_Job> queued;
        if (!m_model->QueuedJobsFor(beat.station, free.at(d).url, freeTags.at(d), Candidates, queued))
            return failed();
        for (const DBT_Job& candidate : qAsConst(queued)) {
            if (gone.contains(candidate.id))
                continue;
            gone.insert(candidate.id);
            bool taken = false;
            if (!Hand(candidate, beat, free.at(d).url, jobs, taken, error))
                return false;
            if (taken) {
                free.removeAt(d);
                freeTags.removeAt(d--);
                break;
            }
        }
    }
    reply.insert(QStringLiteral("jobs"), jobs);
    reply.insert(QStringLiteral("cancel"), cancels);
    m_outcome.station = beat.station;
    m_outcome.hold = jobs.isEmpty() && newCancels.isEmpty() && beat.waitMs > 0;
    m_outcome.waitMs = beat.waitMs;
    m_outcome.free = free;
    return true;
}

bool JobQueue::Hand(DBT_Job candidate, const Beat& beat, const QString& device, QJsonArray& jobs, bool& taken, QString& error)
{
    taken = false;
    DBT_Plan plan(candidate.planId);
    QList<DBT_Testcase> testcases;
    if (!m_model->GetPlan(plan) || !m_model->GetPlanTestcases(plan, testcases)) {
        // A plan deleted meanwhile took the job along: nothing to hand out.
        error = m_model->LastErrorText();
        return error.isEmpty();
    }
    if (testcases.isEmpty()) {
        bool ended = false;
        if (!m_model->EndQueuedJob(candidate.id, QStringLiteral("Test plan has no testcase to execute"), ended)) {
            error = m_model->LastErrorText();
            return false;
        }
        return true;
    }
    candidate.caseIds = JobRecord::CaseIds(testcases);
    candidate.totalCnt = testcases.size();
    candidate.sTime = QDateTime::currentDateTime();
    candidate.status = 2;
    m_runner->PrepareJob(candidate);
    if (!m_model->ClaimJob(candidate, beat.station, device, beat.boot, beat.seq, taken)) {
        error = m_model->LastErrorText();
        return false;
    }
    if (!taken)
        return true;
    candidate.station = beat.station;
    candidate.device = device;
    QJsonObject entry;
    m_runner->StartJob(LocalJobContext(device, candidate, plan, testcases), entry);
    entry.insert(kResult, QStringLiteral("ok"));
    entry.insert(QStringLiteral("planid"), plan.id);
    entry.insert(QStringLiteral("jobid"), candidate.id);
    jobs.append(entry);
    KIV_LOG("Server", "JobQueue::Hand", 3) << "Job " << candidate.id << " to " << device << " of " << beat.station;
    return true;
}

void JobQueue::OnQueueJob(ComponentMap* components, const QJsonObject& request, QJsonObject& reply)
{
    JobQueue* self = components->Get<JobQueue>("Queue");
    DBT_Job job;
    JsonToJob(request, job);
    const QString refusal = readQueueJob(request, job);
    if (!refusal.isEmpty()) {
        reply.insert(kResult, refusal);
        return;
    }
    DBT_Plan plan(job.planId);
    QList<DBT_Testcase> testcases;
    if (!self->m_model->GetPlan(plan) || !self->m_model->GetPlanTestcases(plan, testcases)) {
        const QString error = self->m_model->LastErrorText();
        reply.insert(kResult, error.isEmpty() ? QStringLiteral("queue_job: there is no plan %1").arg(job.planId) : error);
        return;
    }
    if (testcases.isEmpty()) {
        reply.insert(kResult, QStringLiteral("Test plan has no testcase to execute"));
        return;
    }
    job.totalCnt = testcases.size();
    if (!self->m_model->QueueJob(job)) {
        reply.insert(kResult, self->m_model->LastErrorText());
        return;
    }
    self->m_outcome.wakes.append(wantOf(job));
    reply.insert(kResult, QStringLiteral("ok"));
    reply.insert(QStringLiteral("planid"), plan.id);
    reply.insert(QStringLiteral("jobid"), job.id);
}

void JobQueue::OnCancelJob(ComponentMap* components, const QJsonObject& request, QJsonObject& reply)
{
    JobQueue* self = components->Get<JobQueue>("Queue");
    const QJsonValue jobId = request.value(QStringLiteral("jobid"));
    const QString refusal = integerRefusal(QStringLiteral("cancel_job: jobid"), jobId, 1, 2147483647);
    if (!refusal.isEmpty()) {
        reply.insert(kResult, refusal);
        return;
    }
    const int id = jobId.toInt();
    int status = 0;
    QString station;
    if (!self->m_model->CancelJob(id, status, station)) {
        reply.insert(kResult, self->m_model->LastErrorText());
        return;
    }
    if (status == 0) {
        reply.insert(kResult, QStringLiteral("cancel_job: there is no job %1").arg(id));
    } else if (status == 1) {
        reply.insert(kResult, QStringLiteral("ok"));
        reply.insert(QStringLiteral("jobid"), id);
        reply.insert(QStringLiteral("state"), QStringLiteral("cancelled"));
    } else if (status == 2 && !station.isEmpty()) {
        self->WakeStation(station);
        reply.insert(kResult, QStringLiteral("ok"));
        reply.insert(QStringLiteral("jobid"), id);
        reply.insert(QStringLiteral("state"), QStringLiteral("cancelling"));
    } else if (status == 2) {
        reply.insert(kResult, QStringLiteral("job %1 runs on a host that is not a station of the lab; cancel it there "
                                             "(\"CancelJob\")").arg(id));
    } else {
        reply.insert(kResult, QStringLiteral("job %1 is not queued or running").arg(id));
    }
}
