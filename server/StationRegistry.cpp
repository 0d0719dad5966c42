#include "server/StationRegistry.h"

#include "base/ComponentMap.h"
#include "local/RecordJson.h"
#include "server/JobQueue.h"
#include "storage/LocalModel.h"

#include <QDateTime>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <climits>

namespace {

const QString kResult = QStringLiteral("result");

const int kMaxName = 100;
const int kMaxVersion = 100;
const int kMaxUrl = 500;
const int kMaxTag = 100;

// Why `value`, named `name`, is not a non-empty string of at most `max`
// characters; empty when it is one.
QString textRefusal(const QString& name, const QJsonValue& value, int max)
{
    if (!value.isString() || value.toString().isEmpty())
        return QStringLiteral("%1 must be a non-empty string").arg(name);
    if (value.toString().size() > max)
        return QStringLiteral("%1 must be at most %2 characters").arg(name).arg(max);
    return QString();
}

// Reads one device of a beat; the refusal naming the member otherwise.
QString readDevice(const QJsonValue& value, const QString& name, LocalModel::DeviceRow& device)
{
    if (!value.isObject())
        return QStringLiteral("%1 must be an object").arg(name);
    const QJsonObject object = value.toObject();
    const QJsonValue url = object.value(QStringLiteral("url"));
    QString refusal = textRefusal(name + QStringLiteral(".url"), url, kMaxUrl);
    if (!refusal.isEmpty())
        return refusal;
    device.url = url.toString();

    const QJsonValue tags = object.value(QStringLiteral("tags"));
    if (!tags.isUndefined() && !tags.isArray())
        return QStringLiteral("%1.tags must be an array of strings").arg(name);
    const QJsonArray tagList = tags.toArray();
    if (tagList.size() > StationRegistry::MaxTags)
        return QStringLiteral("%1.tags must hold at most %2 tags").arg(name).arg(StationRegistry::MaxTags);
    for (int i = 0; i < tagList.size(); ++i) {
        refusal = textRefusal(QStringLiteral("%1.tags[%2]").arg(name).arg(i), tagList.at(i), kMaxTag);
        if (!refusal.isEmpty())
            return refusal;
    }
    device.tags = QString::fromUtf8(QJsonDocument(tagList).toJson(QJsonDocument::Compact));

    const QJsonValue state = object.value(QStringLiteral("state"));
    if (state != QLatin1String("free") && state != QLatin1String("busy"))
        return QStringLiteral("%1.state must be \"free\" or \"busy\"").arg(name);
    device.state = state.toString();

    const QJsonValue jobId = object.value(QStringLiteral("jobid"));
    if (jobId.isUndefined())
        return QString();
    if (!IntegerIn(jobId, 1, INT_MAX, device.jobId))
        return QStringLiteral("%1.jobid must be a job id (an integer from 1)").arg(name);
    if (device.state != QLatin1String("busy"))
        return QStringLiteral("%1.jobid is only for a busy device").arg(name);
    return QString();
}

// Reads a whole beat; the refusal naming the first bad member otherwise.
QString readBeat(const QJsonObject& request, LocalModel::StationRow& station, QList<LocalModel::DeviceRow>& devices)
{
    const QJsonValue name = request.value(QStringLiteral("station"));
    QString refusal = textRefusal(QStringLiteral("station"), name, kMaxName);
    if (!refusal.isEmpty())
        return refusal;
    station.name = name.toString();
    const QJsonValue version = request.value(QStringLiteral("version"));
    if (!version.isUndefined() && !version.isString())
        return QStringLiteral("version must be a string");
    if (version.toString().size() > kMaxVersion)
        return QStringLiteral("version must be at most %1 characters").arg(kMaxVersion);
    station.version = version.toString();

    const QJsonValue list = request.value(QStringLiteral("devices"));
    if (!list.isArray())
        return QStringLiteral("devices must be an array");
    const QJsonArray array = list.toArray();
    if (array.size() > StationRegistry::MaxDevices)
        return QStringLiteral("devices must hold at most %1 devices").arg(StationRegistry::MaxDevices);
    QHash<QString, int> seen;
    for (int i = 0; i < array.size(); ++i) {
        const QString member = QStringLiteral("devices[%1]").arg(i);
        LocalModel::DeviceRow device;
        refusal = readDevice(array.at(i), member, device);
        if (!refusal.isEmpty())
            return refusal;
        // A station's devices are told apart by their url.
        const auto earlier = seen.constFind(device.url);
        if (earlier != seen.constEnd())
            return QStringLiteral("%1.url repeats devices[%2].url").arg(member).arg(earlier.value());
        seen.insert(device.url, i);
        device.station = station.name;
        devices.append(device);
    }
    return QString();
}

// What a station that takes jobs adds to its beat: "boot", "seq", "jobs",
// "wait_ms". `taking` stays false for a beat without "boot".
QString readTaking(const QJsonObject& request, bool& taking, JobQueue::Beat& beat)
{
    const QJsonValue boot = request.value(QStringLiteral("boot"));
    taking = !boot.isUndefined();
    if (!taking)
        return QString();
    QString refusal = textRefusal(QStringLiteral("boot"), boot, kMaxName);
    if (!refusal.isEmpty())
        return refusal;
    beat.boot = boot.toString();
    if (!IntegerIn(request.value(QStringLiteral("seq")), 1, INT_MAX, beat.seq))
        return QStringLiteral("seq must be an integer from 1 (one more with every beat)");
    const QJsonValue jobs = request.value(QStringLiteral("jobs"));
    if (!jobs.isUndefined() && !jobs.isArray())
        return QStringLiteral("jobs must be an array of job ids");
    const QJsonArray list = jobs.toArray();
    if (list.size() > StationRegistry::MaxHeldJobs)
        return QStringLiteral("jobs must hold at most %1 job ids").arg(StationRegistry::MaxHeldJobs);
    for (const QJsonValue& id : list) {
        int held = 0;
        if (!IntegerIn(id, 1, INT_MAX, held))
            return QStringLiteral("jobs must be an array of job ids (integers from 1)");
        beat.held.insert(held);
    }
    const QJsonValue wait = request.value(QStringLiteral("wait_ms"));
    if (!wait.isUndefined() && !IntegerIn(wait, 0, StationRegistry::MaxWaitMs, beat.waitMs))
        return QStringLiteral("wait_ms must be an integer from 0 to %1").arg(StationRegistry::MaxWaitMs);
    return QString();
}

// The stored "yyyy-MM-dd hh:mm:ss.zzz" (UTC) as ISO 8601, as the audit's times.
QString isoTime(const QString& stored)
{
    QDateTime time = QDateTime::fromString(stored, QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
    time.setTimeSpec(Qt::UTC);
    return time.toString(Qt::ISODateWithMs);
}

} // namespace

void StationRegistry::OnStationBeat(ComponentMap* components, const QJsonObject& request, QJsonObject& reply)
{
    StationRegistry* self = components->Get<StationRegistry>("Stations");
    LocalModel::StationRow station;
    QList<LocalModel::DeviceRow> devices;
    bool taking = false;
    JobQueue::Beat beat;
    QString refusal = readBeat(request, station, devices);
    if (refusal.isEmpty())
        refusal = readTaking(request, taking, beat);
    if (!refusal.isEmpty()) {
        reply.insert(kResult, refusal);
        return;
    }
    JobQueue* queue = components->Get<JobQueue>("Queue");
    LocalModel::BootVerdict boot = LocalModel::Current;
    if (taking && !self->m_model->NoteBoot(station.name, beat.boot, beat.seq, boot)) {
        reply.insert(kResult, self->m_model->LastErrorText());
        return;
    }
    if (boot == LocalModel::Conflict) {
        reply.insert(kResult, QStringLiteral("station %1 is checked in by another process of that name: two hosts with one "
                                             "--station, or this one was replaced; restart it, or give it a name of its own")
                                  .arg(station.name));
        return;
    }
    // A beat overtaken by a later one of its station says nothing new.
    if (boot == LocalModel::Stale) {
        reply.insert(kResult, QStringLiteral("ok"));
        reply.insert(QStringLiteral("lease_ms"), self->m_leaseMs);
        reply.insert(QStringLiteral("jobs"), QJsonArray());
        reply.insert(QStringLiteral("cancel"), QJsonArray());
        return;
    }
    if (!queue->Retrying() && !self->m_model->RecordBeat(station, devices)) {
        reply.insert(kResult, self->m_model->LastErrorText());
        return;
    }
    if (taking) {
        beat.station = station.name;
        beat.devices = devices;
        // Held no longer than half the lease, so that a station waiting for
        // work is never seen offline.
        if (self->m_leaseMs > 0)
            beat.waitMs = qMin(beat.waitMs, self->m_leaseMs / 2);
        QString error;
        if (!queue->Serve(beat, reply, error)) {
            reply = QJsonObject{{kResult, error}};
            return;
        }
    }
    reply.insert(kResult, QStringLiteral("ok"));
    reply.insert(QStringLiteral("lease_ms"), self->m_leaseMs);
}

void StationRegistry::OnLabState(ComponentMap* components, const QJsonObject&, QJsonObject& reply)
{
    StationRegistry* self = components->Get<StationRegistry>("Stations");
    QList<LocalModel::StationRow> stations;
    QList<LocalModel::DeviceRow> devices;
    bool complete = true;
    if (!self->m_model->QueryLab(self->m_leaseMs, MaxStations, MaxStoredDevices, stations, devices, complete)) {
        reply.insert(kResult, self->m_model->LastErrorText());
        return;
    }
    if (!complete) {
        reply.insert(kResult, QStringLiteral("lab_state shows at most %1 stations and %2 devices; more are stored")
                                  .arg(MaxStations).arg(MaxStoredDevices));
        return;
    }
    // Sorted here rather than by the database, whose text order differs
    // between SQLite and PostgreSQL's collations.
    std::sort(stations.begin(), stations.end(),
              [](const LocalModel::StationRow& a, const LocalModel::StationRow& b) { return a.name < b.name; });
    std::sort(devices.begin(), devices.end(), [](const LocalModel::DeviceRow& a, const LocalModel::DeviceRow& b) {
        return a.station != b.station ? a.station < b.station : a.url < b.url;
    });
    QHash<QString, bool> online;
    QJsonArray stationList;
    for (const LocalModel::StationRow& station : qAsConst(stations)) {
        online.insert(station.name, station.online);
        stationList.append(QJsonObject{{QStringLiteral("name"), station.name},
                                       {QStringLiteral("online"), station.online},
                                       {QStringLiteral("last_seen"), isoTime(station.lastSeen)},
                                       {QStringLiteral("version"), station.version}});
    }
    QList<DBT_Job> running;
    QList<DBT_Job> queued;
    int queuedTotal = 0;
    if (!self->m_model->RunningJobs(MaxRunning, running) || !self->m_model->QueuedJobs(MaxQueue, queued, &queuedTotal)) {
        reply.insert(kResult, self->m_model->LastErrorText());
        return;
    }
    // The server's own record of where its jobs run is newer than a beat.
    QHash<QPair<QString, QString>, int> runs;
    for (const DBT_Job& job : qAsConst(running)) {
        if (!job.device.isEmpty())
            runs.insert(qMakePair(job.station, job.device), job.id);
    }
    QJsonArray deviceList;
    for (const LocalModel::DeviceRow& device : qAsConst(devices)) {
        // What an offline station last said of its devices may no longer be
        // true, its jobs included.
        const bool live = online.value(device.station);
        const int queueJob = runs.value(qMakePair(device.station, device.url));
        const int jobId = queueJob > 0 ? queueJob : device.jobId;
        QJsonObject entry{{QStringLiteral("station"), device.station},
                          {QStringLiteral("url"), device.url},
                          {QStringLiteral("tags"), QJsonDocument::fromJson(device.tags.toUtf8()).array()},
                          {QStringLiteral("state"), !live ? QStringLiteral("offline")
                                                     : queueJob > 0 ? QStringLiteral("busy") : device.state}};
        if (live && jobId > 0)
            entry.insert(QStringLiteral("jobid"), jobId);
        deviceList.append(entry);
    }
    QJsonArray queueList;
    for (const DBT_Job& job : qAsConst(queued)) {
        QJsonObject entry{{QStringLiteral("jobid"), job.id},
                          {QStringLiteral("planid"), job.planId},
                          {QStringLiteral("priority"), job.priority},
                          {QStringLiteral("starter"), job.starter},
                          {QStringLiteral("queued"), isoTime(job.queued)}};
        if (!job.queueTags.isEmpty())
            entry.insert(QStringLiteral("tags"), QJsonDocument::fromJson(job.queueTags.toUtf8()).array());
        if (!job.queueDevice.isEmpty())
            entry.insert(QStringLiteral("device"), job.queueDevice);
        if (!job.queueStation.isEmpty())
            entry.insert(QStringLiteral("station"), job.queueStation);
        queueList.append(entry);
    }
    QJsonArray runningList;
    for (const DBT_Job& job : qAsConst(running)) {
        runningList.append(QJsonObject{{QStringLiteral("jobid"), job.id},
                                       {QStringLiteral("planid"), job.planId},
                                       {QStringLiteral("station"), job.station},
                                       {QStringLiteral("device"), job.device},
                                       {QStringLiteral("total"), job.totalCnt},
                                       {QStringLiteral("finished"), job.finishCnt},
                                       {QStringLiteral("starter"), job.starter},
                                       {QStringLiteral("started"), job.sTime.toUTC().toString(Qt::ISODateWithMs)}});
    }
    reply.insert(kResult, QStringLiteral("ok"));
    reply.insert(QStringLiteral("stations"), stationList);
    reply.insert(QStringLiteral("devices"), deviceList);
    reply.insert(QStringLiteral("queue"), queueList);
    reply.insert(QStringLiteral("queue_total"), queuedTotal);
    reply.insert(QStringLiteral("running"), runningList);
}
