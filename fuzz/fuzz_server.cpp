// Request bodies as autotest-server receives them: any bytes get one strict
// JSON object back, through the same session code the server's threads run,
// on a SQLite database of the run's own.

#include "fuzz/FuzzSupport.h"
#include "server/ServerSession.h"

#include <QJsonDocument>
#include <QTemporaryDir>

#include <cstdlib>

namespace {

ServerSession* session()
{
    static QTemporaryDir dir;
    static ServerSession instance(dir.path() + QStringLiteral("/fuzz.db3"), QStringLiteral("fuzz"));
    return &instance;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    kivFuzzInit(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    int status = 0;
    QString cmd;
    const QByteArray reply = session()->Handle(kivFuzzBytes(data, size), status, cmd);
    const QJsonDocument parsed = QJsonDocument::fromJson(reply);
    if (!kivFuzzStrictJson(reply) || !parsed.isObject() || !parsed.object().value(QStringLiteral("result")).isString() || (status != 200 && status != 400))
        std::abort();
    return 0;
}
