#include "remote/StationBeat.h"

#include "platform/Debugger.h"
#include "remote/RemoteSettings.h"
#include "remote/WebFileGetter.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QPointer>
#include <QRandomGenerator>

namespace {

QString newBoot()
{
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(words), sizeof words).toHex());
}

// The whole numbers a server may give as job ids; anything else names no job.
bool jobIdOf(const QJsonValue& value, int* jobId)
{
    const double id = value.toDouble();
    if (!(id >= 1 && id <= 2147483647 && id == qint64(id)))
        return false;
    *jobId = int(id);
    return true;
}

} // namespace

StationBeat::StationBeat(const StationInfo& station, WebFileGetter& transport, const RemoteSettings& settings,
                         const int& selector, StateOf stateOf, Jobs jobs)
    : station(station)
    , transport(transport)
    , settings(settings)
    , selector(selector)
    , stateOf(std::move(stateOf))
    , jobs(std::move(jobs))
    , m_boot(newBoot())
{
    // Runs only while no beat is out: a server slower than the period gets
    // no second beat meanwhile.
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &StationBeat::Send);
}

void StationBeat::Start()
{
    if (m_started)
        return;
    m_started = true;
    KIV_LOG("StationBeat", "StationBeat::Start", 2) << "Station " << station.name << " with " << station.devices.size()
                                                    << " device(s) checks in with the remote server in use";
    // The station shows on the server as soon as the host runs.
    QTimer::singleShot(0, this, &StationBeat::Now);
}

void StationBeat::Now()
{
    if (!m_started)
        return;
    if (m_inFlight) {
        m_again = true;
        return;
    }
    Send();
}

void StationBeat::Send()
{
    m_again = false;
    QJsonArray devices;
    for (const StationInfo::Device& device : station.devices) {
        const DeviceState state = stateOf(device.url);
        QJsonObject entry{{QStringLiteral("url"), device.url},
                          {QStringLiteral("tags"), QJsonArray::fromStringList(device.tags)},
                          {QStringLiteral("state"), state.busy ? QStringLiteral("busy") : QStringLiteral("free")}};
        // The server takes a "jobid" from 1 only; a client may have named its job otherwise.
        int jobId = 0;
        if (state.busy && jobIdOf(state.jobId, &jobId))
            entry.insert(QStringLiteral("jobid"), jobId);
        devices.append(entry);
    }
    QJsonArray held;
    for (const int jobId : jobs.held ? jobs.held() : QList<int>())
        held.append(jobId);
    const QJsonObject beat{{QStringLiteral("cmd"), QStringLiteral("station_beat")},
                           {QStringLiteral("station"), station.name},
                           {QStringLiteral("version"), station.version},
                           {QStringLiteral("devices"), devices},
                           {QStringLiteral("boot"), m_boot},
                           {QStringLiteral("seq"), ++m_seq},
                           {QStringLiteral("jobs"), held},
                           {QStringLiteral("wait_ms"), m_periodMs}};
    m_inFlight = true;
    m_timer.stop();
    m_sent.start();
    QPointer<StationBeat> self(this);
    const QString url = settings.ForSelector(selector);
    // The server may hold the answer for wait_ms before its usual time to answer.
    const int timeoutMs = settings.timeoutMs > 0 ? m_periodMs + settings.timeoutMs : 0;
    // No owner: the beat belongs to no client.
    transport.wGet(url, QJsonDocument(beat).toJson(QJsonDocument::Compact), [self, url](int code, QNetworkReply* reply) {
        if (!self || (code != WebFileGetter::Finished && code != WebFileGetter::NetworkError
                      && code != WebFileGetter::TooLarge))
            return;
        Answer failed;
        if (code != WebFileGetter::Finished) {
            failed.failure = QStringLiteral("Network Error: ") + WebFileGetter::ErrorText(reply);
            return self->OnAnswer(url, failed);
        }
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(WebFileGetter::Body(reply), &error);
        if (error.error != QJsonParseError::NoError) {
            failed.failure = QStringLiteral("Json Parse Error: ") + error.errorString();
            return self->OnAnswer(url, failed);
        }
        const QJsonObject answer = document.object();
        const QJsonValue result = answer.value(QStringLiteral("result"));
        if (result != QLatin1String("ok")) {
            failed.failure = result.isString() ? result.toString()
                                               : QString::fromUtf8(QJsonDocument(answer).toJson(QJsonDocument::Compact));
            return self->OnAnswer(url, failed);
        }
        const Answer read = self->Read(answer, url);
        if (self)
            self->OnAnswer(url, read);
    }, nullptr, timeoutMs);
}

StationBeat::Answer StationBeat::Read(const QJsonObject& answer, const QString& url)
{
    Answer read;
    // A lease that is not a positive number keeps the period as it is.
    const double lease = answer.value(QStringLiteral("lease_ms")).toDouble();
    read.leaseMs = lease >= 1 && lease <= 1e9 ? int(lease) : 0;
    const QJsonValue handed = answer.value(QStringLiteral("jobs"));
    read.dispatching = handed.isArray();
    const QList<int> held = jobs.held ? jobs.held() : QList<int>();
    for (const QJsonValue& value : handed.toArray()) {
        read.handed = true;
        const QJsonObject entry = value.toObject();
        const QJsonValue job = entry.value(QStringLiteral("job"));
        int jobId = 0;
        if (!job.isObject() || !jobIdOf(job.toObject().value(QStringLiteral("jobid")), &jobId)) {
            KIV_LOG("StationBeat", "StationBeat::Read", 1) << "Station " << station.name << " got no job it can run from "
                                                           << WebFileGetter::Logged(url) << ": "
                                                           << QJsonDocument(entry).toJson(QJsonDocument::Compact);
            continue;
        }
        // Handed out twice (an answer the server thinks lost): it runs once.
        if (held.contains(jobId)) {
            KIV_LOG("StationBeat", "StationBeat::Read", 1) << "Station " << station.name << " already holds job " << jobId;
            continue;
        }
        KIV_LOG("StationBeat", "StationBeat::Read", 2) << "Station " << station.name << " takes job " << jobId << " from "
                                                       << WebFileGetter::Logged(url);
        if (jobs.take)
            jobs.take(entry, url);
    }
    // The server names a cancelled job until its report comes: it is acted
    // on once, and only a new one makes the next beat go at once.
    for (auto it = m_cancelled.begin(); it != m_cancelled.end();)
        it = held.contains(*it) ? std::next(it) : m_cancelled.erase(it);
    for (const QJsonValue& value : answer.value(QStringLiteral("cancel")).toArray()) {
        int jobId = 0;
        if (!jobIdOf(value, &jobId) || m_cancelled.contains(jobId))
            continue;
        m_cancelled.insert(jobId);
        read.handed = true;
        KIV_LOG("StationBeat", "StationBeat::Read", 2) << "Station " << station.name << " cancels job " << jobId
                                                       << " for " << WebFileGetter::Logged(url);
        // Its report may come at once, and ask for a beat: that one goes next.
        if (jobs.cancel)
            jobs.cancel(jobId);
    }
    return read;
}

void StationBeat::OnAnswer(const QString& url, const Answer& answer)
{
    m_inFlight = false;
    if (answer.failure != m_failure) {
        if (answer.failure.isEmpty())
            KIV_LOG("StationBeat", "StationBeat::OnAnswer", 2) << "Station " << station.name << " checks in with " << WebFileGetter::Logged(url) << " again";
        else
            KIV_LOG("StationBeat", "StationBeat::OnAnswer", 1) << "Station " << station.name << " can't check in with " << WebFileGetter::Logged(url) << ": "
                                                               << answer.failure;
        m_failure = answer.failure;
    }
    if (answer.leaseMs > 0)
        m_periodMs = qBound(MinPeriodMs, answer.leaseMs / 3, MaxPeriodMs);
    // What was handed out shows in the next beat's "jobs" at once.
    if (m_again || answer.handed)
        return Send();
    if (answer.failure.isEmpty() && answer.dispatching) {
        // The server held the beat for as long as it had nothing: that wait
        // was the period. One that answers at once anyway still gets no more
        // than a beat every MinPeriodMs.
        m_timer.start(int(qMax<qint64>(0, MinPeriodMs - m_sent.elapsed())));
        return;
    }
    m_timer.start(m_periodMs);
}
