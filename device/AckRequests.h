#pragma once

#include "base/ReplyCallback.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QString>
#include <QTimer>

#include <functional>

class QJsonObject;
class QWebSocket;

// The sequenced request/acknowledgement protocol that the device and the
// simulator channels share: every request carries a fresh "SEQ" and its
// acknowledgement echoes it. Optionally, a request left unanswered past a
// time limit is given up and reported.
class AckRequests
{
public:
    explicit AckRequests(const QString& section);

    // Milliseconds a request may wait for its answer; 0 waits for ever.
    void SetTimeLimit(int ms) { limitMs = ms; }
    int TimeLimit() const { return limitMs; }

    // Gives `request` a new "SEQ" (replacing any), sends it as indented JSON and
    // keeps `onAck` under that sequence text; without `onAck` nothing waits
    // for the answer. When the socket is not connected it logs and drops both.
    bool Send(QWebSocket& socket, QJsonObject& request, const ReplyCallback& onAck, const char* function);
    // Waits for the answer with "SEQ" `seq` to the request `command` sent already.
    void Expect(const QString& seq, const QString& command, const ReplyCallback& onAck);
    // Hands `ack` to the callback waiting for its "SEQ". Returns false when no
    // request is waiting for it (already answered, forgotten, or "SEQ" not text).
    bool Deliver(const QJsonObject& ack);
    void Clear();

    // Called once with the command of a request whose time ran out; the
    // request is forgotten first.
    std::function<void(const QString& command)> onTimeout;

    // The controller is a separate process; cap what it may make us buffer
    // instead of trusting the library's default of about 2 GB.
    static constexpr qint64 MaxIncomingMessageSize = 32 * 1024 * 1024;
    static void LimitIncomingSize(QWebSocket& socket);
    // Parses one message of the channel. False when it is not a JSON object;
    // `fault` then says why when the message must end the job rather than be
    // ignored (it would otherwise leave the job waiting without a word).
    static bool Read(const QString& text, QJsonObject& object, QString& fault);
    // Why the connection closed when the cause lies with what the peer sent,
    // or an empty text.
    static QString CloseFault(const QWebSocket& socket);

private:
    struct Pending
    {
        ReplyCallback onAck;
        QString command;
        QDeadlineTimer deadline;
    };
    void OnTimer();

    QString section;
    QHash<QString, Pending> pending;
    QTimer timer;
    int limitMs = 0;
};
