#include "front/KIVAutoTestView.h"

#include "front/KIVAutoTestService.h"
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
    QJsonObject request;
    if (!ParseRequest(message, request))
        return;

    QJsonValue seq = QJsonValue::Null;
    const QString cmdKey = QStringLiteral("CMD");
    if (request.contains(cmdKey))
        request.insert(QStringLiteral("cmd"), request.take(cmdKey));
    const QString seqKey = QStringLiteral("SEQ");
    if (request.contains(seqKey))
        seq = request.take(seqKey);

    // The callback may run after this view is gone: it holds the liveness
    // flag by shared ownership and looks at it before touching the view.
    std::shared_ptr<bool> alive = m_alive;
    KIVAutoTestView* view = this;
    auto reply = [alive, view, seq](const QJsonObject& answer) {
        if (!*alive)
            return;
        QJsonObject envelope = answer;
        if (!seq.isNull())
            envelope.insert(QStringLiteral("SEQ"), seq);
        envelope.insert(QStringLiteral("ERROR"), QStringLiteral("SUCCESS"));
        view->WriteWebJSON(envelope);
    };
    KIVAutoTestService::instance().DoJson(request, reply);
}
