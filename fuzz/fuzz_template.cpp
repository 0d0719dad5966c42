// A template file's content, as an operator may drop it into the folder.

#include "fuzz/FuzzSupport.h"
#include "front/AtTplMng.h"

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
    if (AtTplMng::Content2JsonObj(kivFuzzBytes(data, size), QStringLiteral("fuzz.case.json"), templ)
        && (templ.value(QStringLiteral("name")).toString() != QLatin1String("fuzz") || !templ.value(QStringLiteral("content")).isArray()))
        std::abort();
    return 0;
}
