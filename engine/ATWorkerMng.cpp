#include "engine/ATWorkerMng.h"

#include "engine/ATWorker.h"
#include "engine/JobLimits.h"
#include "platform/Debugger.h"

#include <new>

void ATWorkerMng::NewJob(const QJsonObject& request, const ReplyCallback& callback, const EventCallback& progress)
{
    auto* worker = new (std::nothrow) ATWorker;
    if (!worker) {
        KIV_LOG("ATWorkerMng", "ATWorkerMng::NewJob", 1) << "No more worker";
        callback({{QStringLiteral("VALUE"),
                   QJsonObject{{QStringLiteral("result"), false}, {QStringLiteral("remark"), QStringLiteral("No more worker")}}}});
        return;
    }
    worker->setParent(&workers);
    worker->SetTimeLimits(&watchdog, JobLimits::ScriptTimeoutMs(), JobLimits::DeviceTimeoutMs());
    worker->SetJob(request);
    worker->SetResultCallback([worker, callback](const QJsonObject& report) {
        // The worker is still on the call stack that produced the report.
        worker->deleteLater();
        callback(report);
    });
    worker->SetProgressCallback(progress);
    worker->Start(request.value(QStringLiteral("url")).toString());
}

int ATWorkerMng::CancelJob(const QJsonValue& jobId)
{
    int cancelled = 0;
    // Cancel reports, and a report may start or end other jobs: walk a copy.
    const QObjectList running = workers.children();
    for (QObject* child : running) {
        auto* worker = qobject_cast<ATWorker*>(child);
        if (worker && worker->JobId() == jobId && worker->Cancel())
            ++cancelled;
    }
    KIV_LOG("ATWorkerMng", "ATWorkerMng::CancelJob", 2) << "Cancelled " << cancelled << " job(s) with jobid "
                                                        << jobId.toVariant().toString();
    return cancelled;
}
