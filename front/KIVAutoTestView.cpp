#include "front/KIVAutoTestView.h"

#include "front/HostMetrics.h"
#include "front/KIVAutoTestService.h"
#include "front/RequestEnvelope.h"
#include "platform/Debugger.h"

KIVAutoTestView::KIVAutoTestView(QWebSocket* socket, QObject* parent, HostMetrics* metrics)
    : WebSocketHandler(socket, parent)
    , m_metrics(metrics)
{
    setObjectName(tr("AutoTestView"));
    KIV_LOG("AutoTestView", "KIVAutoTestView::KIVAutoTestView", 2) << "AutoTestView created.";
}

KIVAutoTestView::~KIVAutoTestView() = default;

void KIVAutoTestView::OnTextMessage(const QString& message)
{
    RequestEnvelope envelope;
    if (!envelope.Parse(message)) {
        if (m_metrics)
            m_metrics->CountUnreadable();
        WriteWebText(RequestEnvelope::FailureReply(envelope.ErrorText()));
        return;
    }

    // The callback may run after this view is gone: it holds the liveness
    // flag by shared ownership and looks at it before touching the view.
    KIVAutoTestService& service = KIVAutoTestService::instance();
    RequestContext context = KIVAutoTestReply{m_alive, this, envelope.SeqText(), service.Options().maxReplyBytes}.Context();
    if (m_metrics)
        m_metrics->Meter(envelope.Request().value(QStringLiteral("cmd")).toString(), context);
    service.DoJson(envelope.Request(), context);
}

void KIVAutoTestReply::operator()(const QJsonObject& answer) const
{
    (*this)(answer, {});
}

void KIVAutoTestReply::operator()(const QJsonObject& answer, const QVector<RequestEnvelope::RawMember>& raw) const
{
    if (!*alive)
        return;
    bool tooLarge = false;
    const QByteArray text = RequestEnvelope::Reply(answer, seq, &tooLarge, raw, maxReplyBytes);
    if (tooLarge)
        KIV_LOG("AutoTestView", "KIVAutoTestReply", 1) << "Reply refused: " << text;
    view->WriteWebText(text);
}

void KIVAutoTestReply::Event(const QJsonObject& event) const
{
    if (!*alive)
        return;
    bool tooLarge = false;
    const QByteArray text = RequestEnvelope::Event(event, seq, &tooLarge, maxReplyBytes);
    if (tooLarge)
        KIV_LOG("AutoTestView", "KIVAutoTestReply::Event", 1) << "Event cut: " << text;
    view->WriteWebText(text);
}

RequestContext KIVAutoTestReply::Context() const
{
    RequestContext context;
    const KIVAutoTestReply self = *this;
    context.reply = self;
    context.rawReply = [self](const QJsonObject& answer, const QVector<RequestEnvelope::RawMember>& raw) { self(answer, raw); };
    context.events = [self](const QJsonObject& event) { self.Event(event); };
    context.alive = alive;
    return context;
}
