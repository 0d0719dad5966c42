#include "device/AckRequests.h"

#include "platform/Debugger.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QUuid>
#include <QWebSocket>

AckRequests::AckRequests(const QString& logSection)
    : section(logSection)
{
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, &timer, [this] { OnTimer(); });
}

void AckRequests::LimitIncomingSize(QWebSocket& socket)
{
    socket.setMaxAllowedIncomingMessageSize(MaxIncomingMessageSize);
    socket.setMaxAllowedIncomingFrameSize(MaxIncomingMessageSize);
}

bool AckRequests::Send(QWebSocket& socket, QJsonObject& request, const ReplyCallback& onAck, const char* function)
{
    if (!socket.isValid()) {
        // The section is chosen by the owner, so KIV_LOG's literal form does not fit.
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
    if (onAck)
        Expect(seq, request.value(QStringLiteral("CMD")).toString(), onAck);
    return true;
}

void AckRequests::Expect(const QString& seq, const QString& command, const ReplyCallback& onAck)
{
    Pending entry{onAck, command, QDeadlineTimer(QDeadlineTimer::Forever)};
    if (limitMs > 0) {
        entry.deadline.setRemainingTime(limitMs, Qt::PreciseTimer);
        if (!timer.isActive())
            timer.start(limitMs);
    }
    pending.insert(seq, entry);
}

bool AckRequests::Deliver(const QJsonObject& ack)
{
    // A number or other non-text "SEQ" becomes an empty text, which no request uses.
    const auto it = pending.find(ack.value(QStringLiteral("SEQ")).toString());
    if (it == pending.end())
        return false;
    // Out of the table before the call: the callback may send further requests
    // or close the channel, and must run at most once.
    const ReplyCallback onAck = std::move(it.value().onAck);
    pending.erase(it);
    if (onAck)
        onAck(ack);
    return true;
}

void AckRequests::Clear()
{
    pending.clear();
    timer.stop();
}

void AckRequests::OnTimer()
{
    // Requests of one channel share the limit, so the oldest expires first;
    // the table holds the few requests still in flight.
    auto expired = pending.end();
    qint64 next = -1;
    for (auto it = pending.begin(); it != pending.end(); ++it) {
        if (it->deadline.isForever())
            continue;
        if (it->deadline.hasExpired()) {
            if (expired == pending.end() || it->deadline < expired->deadline)
                expired = it;
        } else if (next < 0 || it->deadline.remainingTime() < next) {
            next = it->deadline.remainingTime();
        }
    }
    if (next >= 0)
        timer.start(int(next));
    if (expired == pending.end())
        return;
    const QString command = expired->command;
    pending.erase(expired);
    if (onTimeout)
        onTimeout(command);
}

bool AckRequests::Read(const QString& text, QJsonObject& object, QString& fault)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (document.isObject()) {
        object = document.object();
        return true;
    }
    if (error.error == QJsonParseError::DeepNesting)
        fault = QStringLiteral("unreadable message: ") + error.errorString();
    return false;
}

QString AckRequests::CloseFault(const QWebSocket& socket)
{
    if (socket.closeCode() != QWebSocketProtocol::CloseCodeTooMuchData)
        return QString();
    return QStringLiteral("message larger than %1 MiB").arg(MaxIncomingMessageSize / (1024 * 1024));
}
