// A template file's content, as an operator may drop it into the folder, and
// the reply that serves it.

#include "fuzz/FuzzSupport.h"
#include "front/AtTplMng.h"
#include "front/RequestEnvelope.h"

#include <QJsonArray>

#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    kivFuzzInit(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QJsonObject templ;
    if (!AtTplMng::Content2JsonObj(kivFuzzBytes(data, size), QStringLiteral("fuzz.case.json"), templ))
        return 0;
    if (templ.value(QStringLiteral("name")).toString() != QLatin1String("fuzz") || !templ.value(QStringLiteral("content")).isArray())
        std::abort();
    // Clients get the template in the "VALUE" of "GetAutoTestTemplate"'s reply.
    if (!kivFuzzStrictJson(RequestEnvelope::Reply({{QStringLiteral("VALUE"), QJsonArray{templ}}}, "1")))
        std::abort();
    return 0;
}
