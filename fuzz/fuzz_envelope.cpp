// The request envelope: any text a client sends, parsed, and the reply built
// for it must echo "SEQ" as the request held it.

#include "fuzz/FuzzSupport.h"
#include "front/RequestEnvelope.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
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
        RequestEnvelope::FailureReply(envelope.ErrorText());
        return 0;
    }
    const QByteArray reply = RequestEnvelope::Reply({{QStringLiteral("result"), QStringLiteral("ok")}}, envelope.SeqText());
    const QJsonDocument parsed = QJsonDocument::fromJson(reply);
    // The reply is always one JSON object, whatever "SEQ" was.
    if (!parsed.isObject())
        std::abort();
    // A "SEQ" comes back as the same JSON value; only one with escapes is
    // written anew, where numbers past 2^53 may change.
    const QJsonValue sent = QJsonDocument::fromJson(bytes).object().value(QStringLiteral("SEQ"));
    const QJsonValue echoed = parsed.object().value(QStringLiteral("SEQ"));
    const QByteArray raw = RequestEnvelope::MemberText(bytes, QStringLiteral("SEQ"));
    const bool rewritten = std::any_of(raw.cbegin(), raw.cend(), [](char c) {
        return c == '\\' || (static_cast<unsigned char>(c) < 0x20 && c != ' ' && c != '\t' && c != '\n' && c != '\r');
    });
    if (!sent.isNull() && !sent.isUndefined() && sent != echoed && !rewritten)
        std::abort();
    return 0;
}
