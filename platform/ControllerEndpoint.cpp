#include "platform/ControllerEndpoint.h"

namespace {

const QString kAutoTestPath = QStringLiteral("/controller/auto_test/");
const QString kSimulatorPath = QStringLiteral("/controller/simulator/");

} // namespace

ControllerEndpoint::ControllerEndpoint()
{
    m_base.setScheme(QStringLiteral("ws"));
    m_base.setHost(QStringLiteral("127.0.0.1"));
    m_base.setPort(DefaultPort);
}

ControllerEndpoint ControllerEndpoint::FromText(const QString& text, QString* error)
{
    ControllerEndpoint endpoint;
    endpoint.m_base.clear();
    const QUrl url(text, QUrl::StrictMode);
    QString why;
    if (!url.isValid() || url.scheme() != QLatin1String("ws") || url.host().isEmpty())
        why = QStringLiteral("not ws://HOST:PORT");
    else if (url.port() < 1)
        why = QStringLiteral("no port");
    else if (!url.userInfo().isEmpty() || (!url.path().isEmpty() && url.path() != QLatin1String("/")) || url.hasQuery()
             || url.hasFragment())
        // The channels' paths are the controller's own; nothing may come before them.
        why = QStringLiteral("nothing but ws://HOST:PORT is taken");
    if (!why.isEmpty()) {
        if (error)
            *error = why;
        return endpoint;
    }
    endpoint.m_base.setScheme(QStringLiteral("ws"));
    endpoint.m_base.setHost(url.host());
    endpoint.m_base.setPort(url.port());
    return endpoint;
}

// The device id goes in as the job's url has it, as it always has.
QString ControllerEndpoint::AutoTestUrl(const QString& deviceId) const
{
    return Text() + kAutoTestPath + deviceId;
}

QString ControllerEndpoint::SimulatorUrl(const QString& deviceId) const
{
    return Text() + kSimulatorPath + deviceId;
}
