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
    std::shared_ptr<bool> alive = m_alive;
    KIVAutoTestView* view = this;
    const QByteArray seq = envelope.SeqText();
    auto reply = [alive, view, seq](const QJsonObject& answer) {
        if (!*alive)
            return;
        bool tooLarge = false;
        const QByteArray text = RequestEnvelope::Reply(answer, seq, &tooLarge);
        if (tooLarge)
            KIV_LOG("AutoTestView", "KIVAutoTestView::OnTextMessage", 1) << "Reply refused: " << text;
        view->WriteWebText(text);
    };
    KIVAutoTestService::instance().DoJson(envelope.Request(), reply);
}
