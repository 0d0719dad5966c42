#pragma once

#include "front/KIVAutoTestGlobal.h"
#include "front/SingletonEx.h"

#include <QJsonObject>
#include <QObject>

#include <functional>

class ATServerProxy;
class KIVAutoTestService;

extern template class KIVAUTOTEST_EXPORT SingletonEx<KIVAutoTestService>;

// The one service behind every client connection. Creating it builds and
// starts the whole back end.
class KIVAUTOTEST_EXPORT KIVAutoTestService : public QObject, public SingletonEx<KIVAutoTestService>
{
    Q_OBJECT

public:
    explicit KIVAutoTestService(QObject* parent);
    ~KIVAutoTestService() override;

    // Routes one request; `reply` may be called now, later, or several times.
    void DoJson(const QJsonObject& request, const std::function<void(const QJsonObject&)>& reply);

    // True while an instance exists, without creating one.
    static bool Exists() { return _instance != nullptr; }

private:
    ATServerProxy* m_proxy = nullptr;
};
