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
    , m_options(options)
{
    Register(this);
    m_proxy = new ATServerProxy(m_options);
}

void KIVAutoTestService::ChangeOptions(const std::function<void(KIVAutoTestOptions&)>& edit)
{
    const QString controller = m_options.controller;
    edit(m_options);
    // The jobs' device links are made for one controller.
    m_options.controller = controller;
    m_proxy->Apply(m_options);
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
    m_proxy->DoJson(request, RequestContext(reply));
}

void KIVAutoTestService::DoJson(const QJsonObject& request, const RequestContext& context)
{
    m_proxy->DoJson(request, context);
}

KIVAutoTestLoad KIVAutoTestService::Load() const
{
    const ATWorkerMng::Load jobs = m_proxy->Load();
    KIVAutoTestLoad load;
    load.jobsRunning = jobs.running;
    load.jobsWaiting = jobs.waiting;
    load.devicesConnected = jobs.devicesConnected;
    load.scriptProcesses = jobs.scriptProcesses;
    load.databaseOpen = m_proxy->DatabaseOpen();
    return load;
}

bool KIVAutoTestService::KnowsCommand(const QString& cmd) const
{
    return m_proxy->Knows(cmd);
}
