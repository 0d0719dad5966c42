// A job request as "ExecuteJob" hands it in: job and test-case items, the
// plan's content and the strategies, against the sample device template. A
// request that cannot run names a case of its own list, if any, and says why
// in text that a reply carries as strict JSON.

#include "fuzz/FuzzSupport.h"
#include "device/IdNameCov.h"
#include "engine/JobItem.h"
#include "front/RequestEnvelope.h"
#include "local/JobVerdict.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <cstdlib>

namespace {
IdNameCov* converter = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    kivFuzzInit(argc, argv);
    QFile file(QStringLiteral(KIV_SOURCE_DIR "/examples/device-template.json"));
    file.open(QIODevice::ReadOnly);
    converter = new IdNameCov;
    converter->SetModules(QJsonDocument::fromJson(file.readAll()).object().value(QStringLiteral("MODULES")).toArray());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QJsonObject request = QJsonDocument::fromJson(kivFuzzBytes(data, size)).object();
    JobItem job;
    job.Init(request.value(QStringLiteral("VALUE")).toObject(), converter);
    job.Init(request, nullptr);
    QString error;
    int failedCase = -1;
    if (!job.Init(request, converter, &error, &failedCase)) {
        const int cases = request.value(QStringLiteral("case_list")).toArray().size();
        const QByteArray reply = RequestEnvelope::Reply(
            {{QStringLiteral("VALUE"), QJsonObject{{QStringLiteral("verdict"), JobVerdict::Failure(QStringLiteral("Fail to init job info"), error).ToJson()}}}},
            QByteArray("1"));
        if (error.isEmpty() || failedCase < -1 || failedCase >= cases || !kivFuzzStrictJson(reply))
            std::abort();
    }
    return 0;
}
