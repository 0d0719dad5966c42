#include "engine/ATWorkerMng.h"

#include "engine/ATWorker.h"
#include "platform/Debugger.h"

#include <new>

void ATWorkerMng::NewJob(const QJsonObject& request, const ReplyCallback& callback)
{
    auto* worker = new (std::nothrow) ATWorker;
    if (!worker) {
        KIV_LOG("ATWorkerMng", "ATWorkerMng::NewJob", 1) << "No more worker";
        callback({{QStringLiteral("VALUE"),
                   QJsonObject{{QStringLiteral("result"), false}, {QStringLiteral("remark"), QStringLiteral("No more worker")}}}});
        return;
    }
    worker->setParent(&workers);
    worker->SetJob(request);
    worker->SetResultCallback([worker, callback](const QJsonObject& report) {
        // The worker is still on the call stack that produced the report.
        worker->deleteLater();
        callback(report);
    });
    worker->Start(request.value(QStringLiteral("url")).toString());
}
