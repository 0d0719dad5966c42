#include "engine/ATWorkerMng.h"

#include "engine/ATWorker.h"
#include "platform/Debugger.h"

#include <QTimer>

#include <algorithm>
#include <new>

void ATWorkerMng::NewJob(const QJsonObject& request, const ReplyCallback& callback, const EventCallback& progress)
{
    auto* worker = new (std::nothrow) ATWorker(controller);
    if (!worker) {
        KIV_LOG("ATWorkerMng", "ATWorkerMng::NewJob", 1) << "No more worker";
        callback({{QStringLiteral("VALUE"),
                   QJsonObject{{QStringLiteral("result"), false}, {QStringLiteral("remark"), QStringLiteral("No more worker")}}}});
        return;
    }
    worker->setParent(&workers);
    ScriptProcess::Limits scriptLimits;
    scriptLimits.checkMs = limits.scriptTimeoutMs;
    scriptLimits.budgetMs = limits.jobScriptBudgetMs;
    scriptLimits.memoryMiB = limits.scriptMemoryMiB;
    worker->SetLimits(scriptLimits, limits.deviceTimeoutMs);
    worker->SetJob(request);
    worker->SetResultCallback([worker, callback](const QJsonObject& report) {
        // The worker is still on the call stack that produced the report.
        worker->deleteLater();
        callback(report);
    });
    worker->SetProgressCallback(progress);
    const QString url = request.value(QStringLiteral("url")).toString();
    const QString device = ATWorker::DeviceIdFromUrl(url);
    // A url without a device fails at once, holding nothing.
    if (device.isEmpty()) {
        worker->Start(url);
        return;
    }
    const auto held = devices.find(device);
    if (held == devices.end()) {
        devices.insert(device, {});
        Run(worker, device, url);
        return;
    }
    held->append({worker, url, progress});
    // The running job counts as one ahead; cancelled ones still queued do not.
    int ahead = 1;
    for (const Queued& queued : qAsConst(*held))
        ahead += queued.worker && queued.worker != worker && !queued.worker->Reported() ? 1 : 0;
    KIV_LOG("ATWorkerMng", "ATWorkerMng::NewJob", 2) << "Job " << request.value(QStringLiteral("jobid")).toInt()
                                                     << " waits for device " << device << " behind " << ahead << " job(s)";
    if (progress)
        progress({{QStringLiteral("EVENT"), QStringLiteral("JobWaiting")},
                  {QStringLiteral("jobid"), request.value(QStringLiteral("jobid"))},
                  {QStringLiteral("device"), device},
                  {QStringLiteral("ahead"), ahead}});
}

void ATWorkerMng::Run(ATWorker* worker, const QString& device, const QString& url)
{
    // The worker's destructor has closed its links by the time this runs. The
    // next job starts on a turn of its own, not inside that destructor.
    QObject::connect(worker, &QObject::destroyed, &workers, [this, device] {
        QTimer::singleShot(0, &workers, [this, device] { Release(device); });
    });
    worker->Start(url);
}

void ATWorkerMng::Release(const QString& device)
{
    const auto held = devices.find(device);
    if (held == devices.end())
        return;
    while (!held->isEmpty()) {
        const Queued next = held->takeFirst();
        // A job cancelled while it waited has reported and is gone.
        if (next.worker && !next.worker->Reported()) {
            if (next.progress)
                next.progress({{QStringLiteral("EVENT"), QStringLiteral("JobStarted")},
                               {QStringLiteral("jobid"), next.worker->JobId()},
                               {QStringLiteral("device"), device}});
            Run(next.worker, device, next.url);
            return;
        }
    }
    devices.erase(held);
}

int ATWorkerMng::CancelJob(const QJsonValue& jobId, const QString& url)
{
    const QString device = url.isEmpty() ? QString() : ATWorker::DeviceIdFromUrl(url);
    int cancelled = 0;
    // Cancel reports, and a report may start or end other jobs: walk a copy.
    const QObjectList running = workers.children();
    for (QObject* child : running) {
        auto* worker = qobject_cast<ATWorker*>(child);
        if (worker && worker->JobId() == jobId && (url.isEmpty() || worker->DeviceId() == device) && worker->Cancel())
            ++cancelled;
    }
    KIV_LOG("ATWorkerMng", "ATWorkerMng::CancelJob", 2) << "Cancelled " << cancelled << " job(s) with jobid "
                                                        << jobId.toVariant().toString();
    return cancelled;
}

bool ATWorkerMng::Waiting(const QJsonValue& jobId) const
{
    for (const QList<Queued>& queue : devices) {
        for (const Queued& queued : queue) {
            if (queued.worker && !queued.worker->Reported() && queued.worker->JobId() == jobId)
                return true;
        }
    }
    return false;
}

ATWorkerMng::Load ATWorkerMng::Count() const
{
    Load load;
    for (const QList<Queued>& queue : devices) {
        for (const Queued& queued : queue)
            load.waiting += queued.worker && !queued.worker->Reported() ? 1 : 0;
    }
    for (const QObject* child : workers.children()) {
        const auto* worker = qobject_cast<const ATWorker*>(child);
        if (!worker || worker->Reported())
            continue;
        ++load.running;
        load.devicesConnected += worker->DeviceConnected() ? 1 : 0;
        load.scriptProcesses += worker->ScriptsRunning() ? 1 : 0;
    }
    load.running -= load.waiting;
    return load;
}

bool ATWorkerMng::Holder(const QString& device, QJsonValue* jobId) const
{
    const auto held = devices.constFind(device);
    if (held == devices.constEnd())
        return false;
    const auto holds = [jobId](const ATWorker* worker) {
        if (!worker || worker->Reported())
            return false;
        *jobId = worker->JobId();
        return true;
    };
    // The running worker is the one of this device that does not wait.
    for (const QObject* child : workers.children()) {
        const auto* worker = qobject_cast<const ATWorker*>(child);
        if (!worker || worker->DeviceId() != device)
            continue;
        const bool queued = std::any_of(held->cbegin(), held->cend(),
                                        [worker](const Queued& queued) { return queued.worker == worker; });
        if (!queued && holds(worker))
            return true;
    }
    for (const Queued& queued : *held) {
        if (holds(queued.worker))
            return true;
    }
    return false;
}
