// The remote server's answer to a forwarded request.

#include "fuzz/FuzzSupport.h"
#include "remote/RemoteHandler.h"

#include <cstdlib>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    kivFuzzInit(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    int replies = 0;
    const RemoteHandler handler([&replies](const QJsonObject&) { ++replies; }, nullptr);
    handler.OnBody(kivFuzzBytes(data, size));
    // Every answer, whatever it holds, gets exactly one reply.
    if (replies != 1)
        std::abort();
    return 0;
}
