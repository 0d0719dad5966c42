#pragma once

#include "front/KIVAutoTestGlobal.h"
#include "base/ReplyCallback.h"
#include "front/RequestEnvelope.h"
#include "platform/WebSocketHandler.h"

#include <QByteArray>
#include <QJsonObject>

#include <memory>

class KIVAutoTestView;

// The reply callback a view hands to the service with each request. Work
// done for a client that has gone can be dropped: whoever holds the callback
// may find this type in it and watch `alive`.
struct KIVAUTOTEST_EXPORT KIVAutoTestReply
{
    std::shared_ptr<bool> alive;
    KIVAutoTestView* view = nullptr;
    QByteArray seq;

    void operator()(const QJsonObject& answer) const;
    // The same, with members written from their own JSON text (see
    // RequestEnvelope::Reply): a large text need not go through QJsonObject.
    void operator()(const QJsonObject& answer, const QVector<RequestEnvelope::RawMember>& raw) const;
    // Writes an event of this request: its "SEQ", no "ERROR". Dropped once
    // the client has gone.
    void Event(const QJsonObject& event) const;
    // The events of the request that `reply` answers, when a view asked:
    // empty for callbacks that do not write to a client.
    static EventCallback EventsOf(const ReplyCallback& reply);
};

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
