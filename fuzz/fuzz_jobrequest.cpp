// A job request as "ExecuteJob" hands it in: job and test-case items, the
// plan's content and the strategies, against the sample device template.

#include "fuzz/FuzzSupport.h"
#include "device/IdNameCov.h"
#include "engine/JobItem.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

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
    job.Init(request, converter);
    job.Init(request, nullptr);
    return 0;
}
