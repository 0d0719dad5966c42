#pragma once

#include "front/KIVAutoTestGlobal.h"
#include "base/ReplyCallback.h"
#include "front/RequestContext.h"
#include "front/RequestEnvelope.h"
#include "platform/WebSocketHandler.h"

#include <QByteArray>
#include <QJsonObject>

#include <memory>

class HostMetrics;
class KIVAutoTestView;

// Writes the answers and events of one request to the view that took it,
// for as long as its client is there (`alive`).
struct KIVAUTOTEST_EXPORT KIVAutoTestReply
{
    std::shared_ptr<bool> alive;
    KIVAutoTestView* view = nullptr;
    QByteArray seq;
    // The service's reply limit when the request came.
    qint64 maxReplyBytes = RequestEnvelope::DefaultMaxReplySize;

    void operator()(const QJsonObject& answer) const;
    // The same, with members written from their own JSON text (see
    // RequestEnvelope::Reply): a large text need not go through QJsonObject.
    void operator()(const QJsonObject& answer, const QVector<RequestEnvelope::RawMember>& raw) const;
    // Writes an event of this request: its "SEQ", no "ERROR". Dropped once
    // the client has gone.
    void Event(const QJsonObject& event) const;
    // The context a view hands to the service with a request.
    RequestContext Context() const;
};

// One client connection: turns each text message into a request for the
// service and wraps every answer in the reply envelope.
class KIVAUTOTEST_EXPORT KIVAutoTestView : public WebSocketHandler
{
    Q_OBJECT

public:
    // `metrics`, when given, counts every request; it outlives the view.
    KIVAutoTestView(QWebSocket* socket, QObject* parent, HostMetrics* metrics = nullptr);
    ~KIVAutoTestView() override;

protected:
    void OnTextMessage(const QString& message) override;

private:
    HostMetrics* m_metrics = nullptr;
};
