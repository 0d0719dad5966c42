#include "front/KIVAutoTestView.h"

#include "front/KIVAutoTestService.h"
#include "front/RequestEnvelope.h"
#include "platform/Debugger.h"

KIVAutoTestView::KIVAutoTestView(QWebSocket* socket, QObject* parent)
    : WebSocketHandler(socket, parent)
{
    setObjectName(tr("AutoTestView"));
    KIV_LOG("AutoTestView", "KIVAutoTestView::KIVAutoTestView", 2) << "AutoTestView created.";
}

KIVAutoTestView::~KIVAutoTestView() = default;

void KIVAutoTestView::OnTextMessage(const QString& message)
{
    RequestEnvelope envelope;
    if (!envelope.Parse(message)) {
        WriteWebText(RequestEnvelope::FailureReply(envelope.ErrorText()));
        return;
    }

    // The callback may run after this view is gone: it holds the liveness
    // flag by shared ownership and looks at it before touching the view.
    const std::function<void(const QJsonObject&)> reply = KIVAutoTestReply{m_alive, this, envelope.SeqText()};
    KIVAutoTestService::instance().DoJson(envelope.Request(), reply);
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
    const QByteArray text = RequestEnvelope::Reply(answer, seq, &tooLarge, raw);
    if (tooLarge)
        KIV_LOG("AutoTestView", "KIVAutoTestReply", 1) << "Reply refused: " << text;
    view->WriteWebText(text);
}

void KIVAutoTestReply::Event(const QJsonObject& event) const
{
    if (!*alive)
        return;
    bool tooLarge = false;
    const QByteArray text = RequestEnvelope::Event(event, seq, &tooLarge);
    if (tooLarge)
        KIV_LOG("AutoTestView", "KIVAutoTestReply::Event", 1) << "Event cut: " << text;
    view->WriteWebText(text);
}

EventCallback KIVAutoTestReply::EventsOf(const ReplyCallback& reply)
{
    const KIVAutoTestReply* owner = reply.target<KIVAutoTestReply>();
    if (!owner)
        return nullptr;
    const KIVAutoTestReply copy = *owner;
    return [copy](const QJsonObject& event) { copy.Event(event); };
}
