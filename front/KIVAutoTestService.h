#pragma once

#include "front/KIVAutoTestConfig.h"
#include "front/KIVAutoTestGlobal.h"
#include "front/SingletonEx.h"

#include <QJsonObject>
#include <QObject>

#include <functional>

class ATServerProxy;
class KIVAutoTestService;

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

    // True while an instance exists, without creating one.
    static bool Exists() { return _instance != nullptr; }

private:
    ATServerProxy* m_proxy = nullptr;
};
