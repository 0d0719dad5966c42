#include "front/KIVAutoTestService.h"

#include "front/ATServerProxy.h"
#include "platform/ControllerEndpoint.h"

template class SingletonEx<KIVAutoTestService>;

bool KIVAutoTestCheckController(const QString& url, QString* error)
{
    return ControllerEndpoint::FromText(url, error).IsValid();
}

KIVAutoTestService::KIVAutoTestService(QObject* parent)
    : KIVAutoTestService(KIVAutoTestOptions(), parent)
{
}

KIVAutoTestService::KIVAutoTestService(const KIVAutoTestOptions& options, QObject* parent)
    : QObject(parent)
{
    Register(this);
    m_proxy = new ATServerProxy(ControllerEndpoint::FromText(options.controller));
}

KIVAutoTestService::~KIVAutoTestService()
{
    delete m_proxy;
    // A host that destroys the service may later ask for a new one.
    if (_instance == this)
        _instance = nullptr;
}

void KIVAutoTestService::DoJson(const QJsonObject& request, const std::function<void(const QJsonObject&)>& reply)
{
    m_proxy->DoJson(request, reply);
}
