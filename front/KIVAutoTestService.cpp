#include "front/KIVAutoTestService.h"

#include "front/ATServerProxy.h"

template class SingletonEx<KIVAutoTestService>;

KIVAutoTestService::KIVAutoTestService(QObject* parent)
    : QObject(parent)
{
    Register(this);
    m_proxy = new ATServerProxy;
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
