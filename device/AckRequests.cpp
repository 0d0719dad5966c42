#include "device/AckRequests.h"

#include "platform/Debugger.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>
#include <QWebSocket>

void LimitIncomingSize(QWebSocket& socket)
{
    socket.setMaxAllowedIncomingMessageSize(MaxIncomingMessageSize);
    socket.setMaxAllowedIncomingFrameSize(MaxIncomingMessageSize);
}

bool SendSequenced(QWebSocket& socket, PendingAcks& pending, QJsonObject& request, const ReplyCallback& onAck,
    const QString& section, const char* function)
{
    if (!socket.isValid()) {
        // The section is chosen by the caller, so KIV_LOG's literal form does not fit.
        if (Debugger::Enabled(1))
            Debugger(Debugger::SECTION(section), function, __LINE__, 1).Dump() << "Websocket is not valid to send request";
        return false;
    }
    const QString seq = QUuid::createUuid().toString();
    request.insert(QStringLiteral("SEQ"), seq);
    socket.sendTextMessage(QString::fromUtf8(QJsonDocument(request).toJson(QJsonDocument::Indented)));
    // Hand the frame to the kernel now rather than on the next turn of the
    // event loop: a job waits for every answer, so this latency adds up.
    socket.flush();
    pending.insert(seq, onAck);
    return true;
}

bool DeliverAck(PendingAcks& pending, const QJsonObject& ack)
{
    // A number or other non-text "SEQ" becomes an empty text, which no request uses.
    const auto it = pending.find(ack.value(QStringLiteral("SEQ")).toString());
    if (it == pending.end())
        return false;
    // Out of the table before the call: the callback may send further requests
    // or close the proxy, and must run at most once.
    const ReplyCallback onAck = std::move(it.value());
    pending.erase(it);
    if (onAck)
        onAck(ack);
    return true;
}
