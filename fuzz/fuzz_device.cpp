// What the device sends: acknowledgements (the template on entering auto-test
// mode, the answer to a set) and pushed observations, through the device
// proxy, the id/name conversion and the data collector.

#include "fuzz/FuzzSupport.h"
#include "device/ATDeviceProxy.h"
#include "device/AckRequests.h"
#include "device/IdKey.h"
#include "device/IdNameCov.h"
#include "device/NameKey.h"
#include "engine/DataCollector.h"
#include "front/RequestEnvelope.h"
#include "local/JobVerdict.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include <cstdlib>

namespace {
QJsonArray sampleModules;
// Made once: a proxy owns a WebSocket, which costs more to build than most
// inputs cost to parse.
ATDeviceProxy* proxy = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    kivFuzzInit(argc, argv);
    QFile file(QStringLiteral(KIV_SOURCE_DIR "/examples/device-template.json"));
    file.open(QIODevice::ReadOnly);
    sampleModules = QJsonDocument::fromJson(file.readAll()).object().value(QStringLiteral("MODULES")).toArray();
    proxy = new ATDeviceProxy;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QString message = QString::fromUtf8(kivFuzzBytes(data, size));
    IdNameCov converter;
    converter.SetModules(sampleModules);
    DataCollector collector;
    collector.SetConverter(&converter);
    collector.collecting = true;

    proxy->SubscribeEvent(QStringLiteral("PushObseData"), [&collector](const QJsonObject& push) { collector.Add(push); });
    // The message as it comes (an event, or an acknowledgement nobody waits for).
    QMetaObject::invokeMethod(proxy, "OnTextMessage", Q_ARG(QString, message));

    // The message as the acknowledgement of entering auto-test mode (which
    // carries the device's own template) and of a set.
    AckRequests pending(QStringLiteral("fuzz"));
    pending.Expect(QStringLiteral("1"), QStringLiteral("EnterAutoTest"), [&converter](const QJsonObject& answer) {
        const QJsonValue modules = answer.value(QStringLiteral("VALUE")).toObject().value(QStringLiteral("MODULES"));
        if (modules.isArray())
            converter.SetModules(modules.toArray());
    });
    pending.Expect(QStringLiteral("2"), QStringLiteral("SetCaseData"), [&converter](const QJsonObject& answer) {
        QJsonObject named;
        converter.IdDataToNameData(answer.value(QStringLiteral("VALUE")).toObject(), named);
    });
    const QJsonObject object = QJsonDocument::fromJson(message.toUtf8()).object();
    pending.Deliver(object);
    for (const char* seq : {"1", "2"}) {
        QJsonObject ack = object;
        ack.insert(QStringLiteral("SEQ"), QString::fromLatin1(seq));
        pending.Deliver(ack);
    }
    // Names and numbers taken from the message, converted both ways.
    NameKey names{object.value(QStringLiteral("MODULE_NAME")).toString(), object.value(QStringLiteral("GROUP_NAME")).toString(),
                  object.value(QStringLiteral("ITEM_NAME")).toString()};
    IdKey ids;
    converter.NameToId(names, ids);
    IdKey numbers{object.value(QStringLiteral("MODULE_SEQ")).toInt(), object.value(QStringLiteral("GROUP_SEQ")).toInt(),
                  object.value(QStringLiteral("INDEX")).toInt()};
    converter.ObseIdToName(numbers, names);
    QJsonObject named;
    converter.IdDataToNameData(object, named);
    collector.Add(object);
    // What a device says when it refuses reaches clients in a job's reason
    // and a case's remark; the reply that carries them stays strict JSON.
    const QString said = object.value(QStringLiteral("ERROR")).toString();
    const QByteArray reply = RequestEnvelope::Reply(
        {{QStringLiteral("VALUE"),
          QJsonObject{{QStringLiteral("verdict"), JobVerdict::Failure(QStringLiteral("Device Can't Enter AT Mode"),
                                                                      QStringLiteral("Device Can't Enter AT Mode: ") + said).ToJson()},
                      {QStringLiteral("tcs"), QJsonArray{QJsonObject{{QStringLiteral("remark"), QStringLiteral("Set Data Ack: ") + said}}}},
                      {QStringLiteral("named"), named}}}},
        QByteArray("1"));
    if (!kivFuzzStrictJson(reply))
        std::abort();
    return 0;
}
