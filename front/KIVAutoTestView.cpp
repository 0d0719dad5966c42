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
    if (!*alive)
        return;
    bool tooLarge = false;
    const QByteArray text = RequestEnvelope::Reply(answer, seq, &tooLarge);
    if (tooLarge)
        KIV_LOG("AutoTestView", "KIVAutoTestReply", 1) << "Reply refused: " << text;
    view->WriteWebText(text);
}
