#pragma once

#include "front/KIVAutoTestConfig.h"
#include "front/KIVAutoTestGlobal.h"
#include "front/SingletonEx.h"

#include <QJsonObject>
#include <QObject>

#include <functional>

class ATServerProxy;
struct RequestContext;
class KIVAutoTestService;

// What the host's metrics read of the service (HostMetrics).
struct KIVAutoTestLoad
{
    // Jobs started and not waiting for their device, and those waiting.
    int jobsRunning = 0;
    int jobsWaiting = 0;
    // Device channels open at the controller, and script processes running.
    int devicesConnected = 0;
    int scriptProcesses = 0;
    bool databaseOpen = false;
};

extern template class KIVAUTOTEST_EXPORT SingletonEx<KIVAutoTestService>;

// The one service behind every client connection. Creating it builds and
// starts the whole back end; the accessors create one with the default
// options, so a host that sets any creates the service itself first.
class KIVAUTOTEST_EXPORT KIVAutoTestService : public QObject, public SingletonEx<KIVAutoTestService>
{
    Q_OBJECT

public:
    explicit KIVAutoTestService(QObject* parent);
    // An invalid controller address (see KIVAutoTestCheckController) leaves
    // jobs failing at their start, saying so.
    KIVAutoTestService(const KIVAutoTestOptions& options, QObject* parent);
    ~KIVAutoTestService() override;

    // Routes one request; `reply` may be called now, later, or several times.
    void DoJson(const QJsonObject& request, const std::function<void(const QJsonObject&)>& reply);
    // The same, with the events the request asks for and its client's
    // presence (see RequestContext).
    void DoJson(const QJsonObject& request, const RequestContext& context);

    // The options in force; ChangeOptions edits them and applies the change
    // to everything that starts afterwards.
    const KIVAutoTestOptions& Options() const { return m_options; }
    void ChangeOptions(const std::function<void(KIVAutoTestOptions&)>& edit);

    KIVAutoTestLoad Load() const;
    // Whether `cmd` is a command the service knows (its own or a command
    // table's), so that metrics label unknown ones alike.
    bool KnowsCommand(const QString& cmd) const;

    // True while an instance exists, without creating one.
    static bool Exists() { return _instance != nullptr; }

private:
    KIVAutoTestOptions m_options;
    ATServerProxy* m_proxy = nullptr;
};
