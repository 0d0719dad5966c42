#include "remote/RemoteJobs.h"

#include "base/JobEngine.h"
#include "platform/Debugger.h"
#include "remote/WebFileGetter.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <memory>

RemoteJobs::RemoteJobs(WebFileGetter& getter, JobEngine& engine)
    : transport(getter)
    , engine(engine)
{
}

RemoteJobs::~RemoteJobs()
{
    for (const auto& entry : m_pending)
        KIV_LOG("RemoteJobs", "RemoteJobs::~RemoteJobs", 1) << "Report of job " << entry.second.jobId
                                                            << " not delivered to " << WebFileGetter::Logged(entry.second.url)
                                                            << ": the service stops";
}

bool RemoteJobs::TakeJob(QJsonObject& answer, const QString& url, const EventCallback& events)
{
    const QJsonValue job = answer.value(QStringLiteral("job"));
    if (!job.isObject())
        return false;
    answer.remove(QStringLiteral("job"));
    const QJsonObject request = job.toObject();
    Running running;
    running.url = url;
    // The job's own id is the one the worker reports and CancelJob matches.
    running.jobId = request.value(QStringLiteral("jobid")).toInt(answer.value(QStringLiteral("jobid")).toInt());
    running.device = request.value(QStringLiteral("url")).toString();
    running.secret = request.value(QStringLiteral("secret")).toString();
    running.leaseMs = request.value(QStringLiteral("lease_ms")).toInt(0);
    // Held from now: a beat that goes before the job starts lists it too.
    const quint64 run = m_nextRun++;
    m_running.emplace(run, std::move(running));
    // Started once the client has its answer, which names the job: what the
    // job says (waiting for its device, say) comes after it, as in local mode.
    QTimer::singleShot(0, this, [this, run, request, events] { Start(run, request, events); });
    return true;
}

QList<int> RemoteJobs::Held() const
{
    QList<int> held;
    for (const auto& entry : m_running)
        held.append(entry.second.jobId);
    for (const auto& entry : m_pending)
        held.append(entry.second.jobId);
    std::sort(held.begin(), held.end());
    held.erase(std::unique(held.begin(), held.end()), held.end());
    return held;
}

QString RemoteJobs::DeviceOf(int jobId) const
{
    for (const auto& entry : m_running) {
        if (entry.second.jobId == jobId)
            return entry.second.device.isNull() ? QStringLiteral("") : entry.second.device;
    }
    return QString();
}

void RemoteJobs::Start(quint64 run, QJsonObject request, const EventCallback& events)
{
    const auto found = m_running.find(run);
    if (found == m_running.end())
        return;
    Running& running = found->second;
    running.started = true;
    running.lastPostMs = QDateTime::currentMSecsSinceEpoch();
    request.remove(QStringLiteral("secret"));
    request.remove(QStringLiteral("lease_ms"));
    const QString url = running.url;
    const int jobId = running.jobId;
    const QString secret = running.secret;
    const int leaseMs = running.leaseMs;
    KIV_LOG("RemoteJobs", "RemoteJobs::Start", 2) << "Job " << jobId << " from " << WebFileGetter::Logged(url) << " starts";
    if (!m_beat) {
        m_beat = new QTimer(this);
        m_beat->setInterval(1000);
        connect(m_beat, &QTimer::timeout, this, &RemoteJobs::Beat);
    }
    // Looked at often enough to beat every third of the shortest lease.
    if (leaseMs > 0)
        m_beat->setInterval(qBound(100, qMin(m_beat->interval(), leaseMs / 6), 1000));
    if (!m_beat->isActive())
        m_beat->start();
    QPointer<RemoteJobs> self(this);
    engine.NewJob(
        request,
        [self, url, jobId, secret, run, events](const QJsonObject& report) {
            // A worker torn down after its report may report again; the
            // server has the first.
            if (!self || self->m_running.erase(run) == 0)
                return;
            self->Deliver(url, jobId, secret, report);
            if (events)
                events({{QStringLiteral("EVENT"), QStringLiteral("JobReport")},
                        {QStringLiteral("jobid"), jobId},
                        {QStringLiteral("VALUE"), report.value(QStringLiteral("VALUE"))}});
        },
        [self, run, events](const QJsonObject& event) {
            if (self)
                self->OnProgress(run, event);
            if (events)
                events(event);
        });
}

void RemoteJobs::OnProgress(quint64 run, const QJsonObject& event)
{
    const auto found = m_running.find(run);
    if (found == m_running.end())
        return;
    Running& running = found->second;
    const QString kind = event.value(QStringLiteral("EVENT")).toString();
    if (kind == QLatin1String("JobProgress")) {
        QJsonObject entry = event.value(QStringLiteral("tc")).toObject();
        entry.insert(QStringLiteral("verdict"), event.value(QStringLiteral("verdict")));
        running.pending.append(entry);
    } else if (kind == QLatin1String("JobWaiting") || kind == QLatin1String("JobStarted")) {
        // The server lists the job as waiting for its device meanwhile.
        running.waiting = kind == QLatin1String("JobWaiting") ? 1 : 0;
    } else {
        return;
    }
    if (!running.posting)
        PostProgress(run);
}

void RemoteJobs::Beat()
{
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    for (auto& entry : m_running) {
        const Running& running = entry.second;
        if (running.started && !running.posting && running.leaseMs > 0 && now - running.lastPostMs >= running.leaseMs / 3)
            PostProgress(entry.first);
    }
    if (m_running.empty())
        m_beat->stop();
}

void RemoteJobs::PostProgress(quint64 run)
{
    const auto found = m_running.find(run);
    if (found == m_running.end())
        return;
    Running& running = found->second;
    // A server of an older version hands out no lease and takes no progress.
    if (running.leaseMs <= 0)
        return;
    running.posting = true;
    running.lastPostMs = QDateTime::currentMSecsSinceEpoch();
    const int sent = running.pending.size();
    QJsonObject post{{QStringLiteral("cmd"), QStringLiteral("job_progress")},
                     {QStringLiteral("jobid"), running.jobId},
                     {QStringLiteral("secret"), running.secret},
                     {QStringLiteral("from"), running.from},
                     {QStringLiteral("tcs"), running.pending}};
    const int waiting = running.waiting;
    if (waiting >= 0)
        post.insert(QStringLiteral("waiting"), waiting == 1);
    const QByteArray body = QJsonDocument(post).toJson(QJsonDocument::Compact);
    QPointer<RemoteJobs> self(this);
    transport.wGet(running.url, body, [self, run, sent, waiting](int code, QNetworkReply* reply) {
        if (!self || (code != WebFileGetter::Finished && code != WebFileGetter::NetworkError && code != WebFileGetter::TooLarge))
            return;
        const auto found = self->m_running.find(run);
        if (found == self->m_running.end())
            return;
        Running& running = found->second;
        running.posting = false;
        const QJsonObject answer = code == WebFileGetter::Finished
            ? QJsonDocument::fromJson(WebFileGetter::Body(reply)).object() : QJsonObject();
        if (answer.value(QStringLiteral("result")) == QLatin1String("ok")) {
            // What the server has is not sent again.
            for (int i = 0; i < sent && !running.pending.isEmpty(); ++i)
                running.pending.removeFirst();
            running.from += sent;
            if (running.waiting == waiting)
                running.waiting = -1;
            if (!running.pending.isEmpty() || running.waiting >= 0)
                self->PostProgress(run);
            return;
        }
        // Kept for the next post; the report at the end carries everything anyway.
        KIV_LOG("RemoteJobs", "RemoteJobs::PostProgress", 2)
            << "Progress of job " << running.jobId << " not taken by " << WebFileGetter::Logged(running.url) << ": "
            << (code == WebFileGetter::Finished ? answer.value(QStringLiteral("result")).toString() : WebFileGetter::ErrorText(reply));
    });
}

void RemoteJobs::Deliver(const QString& url, int jobId, const QString& secret, const QJsonObject& report)
{
    Delivery delivery;
    delivery.url = url;
    delivery.jobId = jobId;
    QJsonObject body{{QStringLiteral("cmd"), QStringLiteral("job_report")},
                     {QStringLiteral("jobid"), jobId},
                     {QStringLiteral("report"), report}};
    if (!secret.isEmpty())
        body.insert(QStringLiteral("secret"), secret);
    delivery.body = QJsonDocument(body).toJson(QJsonDocument::Compact);
    delivery.firstTry = QDateTime::currentMSecsSinceEpoch();
    // The newest report always stays; older ones make room for it.
    while (!m_pending.empty() && m_pendingBytes + delivery.body.size() > MaxPendingBytes) {
        const auto oldest = m_pending.begin();
        KIV_LOG("RemoteJobs", "RemoteJobs::Deliver", 0) << "Report of job " << oldest->second.jobId << " to "
                                                        << WebFileGetter::Logged(oldest->second.url)
                                                        << " dropped: undelivered reports exceed "
                                                        << MaxPendingBytes << " bytes";
        m_pendingBytes -= oldest->second.body.size();
        m_pending.erase(oldest);
    }
    KIV_LOG("RemoteJobs", "RemoteJobs::Deliver", 2) << "Report of job " << jobId << " goes to " << WebFileGetter::Logged(url);
    const quint64 id = m_nextId++;
    m_pendingBytes += delivery.body.size();
    m_pending.emplace(id, std::move(delivery));
    Post(id);
}

void RemoteJobs::Post(quint64 id)
{
    const auto found = m_pending.find(id);
    if (found == m_pending.end())
        return;
    QPointer<RemoteJobs> self(this);
    // No owner: the report belongs to no client. No host switch either: only
    // the server that handed out the job holds it.
    transport.wGet(found->second.url, found->second.body, [self, id](int code, QNetworkReply* reply) {
        if (!self || (code != WebFileGetter::Finished && code != WebFileGetter::NetworkError
                      && code != WebFileGetter::TooLarge))
            return;
        if (code != WebFileGetter::Finished)
            return self->OnAnswer(id, nullptr, QStringLiteral("Network Error: ") + WebFileGetter::ErrorText(reply));
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(WebFileGetter::Body(reply), &error);
        if (error.error != QJsonParseError::NoError)
            return self->OnAnswer(id, nullptr, QStringLiteral("Json Parse Error: ") + error.errorString());
        if (!document.isObject())
            return self->OnAnswer(id, nullptr, QStringLiteral("Not a json object"));
        const QJsonObject answer = document.object();
        self->OnAnswer(id, &answer, QString());
    });
}

void RemoteJobs::OnAnswer(quint64 id, const QJsonObject* answer, const QString& failure)
{
    const auto found = m_pending.find(id);
    if (found == m_pending.end())
        return;
    Delivery& delivery = found->second;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    QString why = failure;
    qint64 deadline = delivery.firstTry + GiveUpMs;
    if (answer) {
        if (answer->value(QStringLiteral("result")) == QLatin1String("ok")) {
            KIV_LOG("RemoteJobs", "RemoteJobs::OnAnswer", 2) << "Report of job " << delivery.jobId << " delivered to "
                                                             << WebFileGetter::Logged(delivery.url);
            m_pendingBytes -= delivery.body.size();
            m_pending.erase(found);
            return;
        }
        why = answer->contains(QStringLiteral("result"))
            ? answer->value(QStringLiteral("result")).toString()
            : QString::fromUtf8(QJsonDocument(*answer).toJson(QJsonDocument::Compact));
        if (!delivery.firstRefusal)
            delivery.firstRefusal = now;
        deadline = std::min(deadline, delivery.firstRefusal + GiveUpRefusedMs);
    }
    if (now + delivery.nextDelayMs > deadline) {
        KIV_LOG("RemoteJobs", "RemoteJobs::OnAnswer", 0) << "Report of job " << delivery.jobId << " to "
                                                         << WebFileGetter::Logged(delivery.url) << " given up after "
                                                         << (now - delivery.firstTry) / 1000 << " s: " << why;
        m_pendingBytes -= delivery.body.size();
        m_pending.erase(found);
        return;
    }
    KIV_LOG("RemoteJobs", "RemoteJobs::OnAnswer", 1) << "Report of job " << delivery.jobId << " to " << WebFileGetter::Logged(delivery.url)
                                                     << " failed: " << why << "; next try in "
                                                     << delivery.nextDelayMs / 1000 << " s";
    QTimer::singleShot(delivery.nextDelayMs, this, [this, id] { Post(id); });
    delivery.nextDelayMs = std::min(delivery.nextDelayMs * 2, MaxRetryMs);
}
