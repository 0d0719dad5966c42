#pragma once

#include "front/KIVAutoTestGlobal.h"
#include "platform/WebSocketHandler.h"

// One client connection: turns each text message into a request for the
// service and wraps every answer in the reply envelope.
class KIVAUTOTEST_EXPORT KIVAutoTestView : public WebSocketHandler
{
    Q_OBJECT

public:
    KIVAutoTestView(QWebSocket* socket, QObject* parent);
    ~KIVAutoTestView() override;

protected:
    void OnTextMessage(const QString& message) override;
};
