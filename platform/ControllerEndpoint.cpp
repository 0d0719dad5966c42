#include "platform/ControllerEndpoint.h"

namespace ControllerEndpoint {

static QString url(const char* path, const QString& deviceId)
{
    return QStringLiteral("ws://") + QLatin1String(Host) + QLatin1Char(':') + QString::number(Port)
        + QLatin1String(path) + deviceId;
}

QString AutoTestUrl(const QString& deviceId)
{
    return url(AutoTestPath, deviceId);
}

QString SimulatorUrl(const QString& deviceId)
{
    return url(SimulatorPath, deviceId);
}

} // namespace ControllerEndpoint
