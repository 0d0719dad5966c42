#pragma once

#include "front/ReplyCallback.h"

#include <QHash>
#include <QString>

class QJsonObject;
class QWebSocket;

// The sequenced request/acknowledgement protocol that the device and the
// simulator channels share: every request carries a fresh "SEQ" and its
// acknowledgement echoes it.

using PendingAcks = QHash<QString, ReplyCallback>;

// The controller is a separate process; cap what it may make us buffer
// instead of trusting the library's default of about 2 GB.
constexpr qint64 MaxIncomingMessageSize = 32 * 1024 * 1024;
void LimitIncomingSize(QWebSocket& socket);

// Gives `request` a new "SEQ" (replacing any), sends it as indented JSON and
// keeps `onAck` under that sequence text. When the socket is not connected it
// logs under `section`/`function` and drops both the request and `onAck`.
bool SendSequenced(QWebSocket& socket, PendingAcks& pending, QJsonObject& request, const ReplyCallback& onAck,
    const QString& section, const char* function);

// Hands `ack` to the callback waiting for its "SEQ". Returns false when no
// request is waiting for it (already answered, forgotten, or "SEQ" not text).
bool DeliverAck(PendingAcks& pending, const QJsonObject& ack);
