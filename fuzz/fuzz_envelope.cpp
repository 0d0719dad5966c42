// The request envelope: any text a client sends, parsed, and the reply built
// for it must be strict JSON and echo "SEQ" as the request held it.

#include "fuzz/FuzzSupport.h"
#include "base/JsonText.h"
#include "front/RequestEnvelope.h"
#include "front/StrictJson.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    kivFuzzInit(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes = kivFuzzBytes(data, size);
    RequestEnvelope envelope;
    if (!envelope.Parse(QString::fromUtf8(bytes))) {
        if (!kivFuzzStrictJson(RequestEnvelope::FailureReply(envelope.ErrorText())))
            std::abort();
        return 0;
    }
    const QByteArray reply = RequestEnvelope::Reply({{QStringLiteral("result"), QStringLiteral("ok")}}, envelope.SeqText());
    // The reply is always one strict JSON object, whatever "SEQ" was.
    const QJsonDocument parsed = QJsonDocument::fromJson(reply);
    if (!kivFuzzStrictJson(reply) || !parsed.isObject())
        std::abort();
    // A strict "SEQ" comes back as its very text; any other is written anew
    // from its value, where numbers past 2^53 may change.
    const QJsonValue sent = QJsonDocument::fromJson(bytes).object().value(QStringLiteral("SEQ"));
    if (sent.isNull() || sent.isUndefined())
        return 0;
    const QByteArray raw = JsonText::MemberText(bytes, QStringLiteral("SEQ"));
    if (StrictJson::IsValue(raw)
        && (!reply.contains("\"SEQ\":" + raw) || parsed.object().value(QStringLiteral("SEQ")) != sent))
        std::abort();
    return 0;
}
