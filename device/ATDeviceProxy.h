#pragma once

#include "device/AckRequests.h"
#include "base/ReplyCallback.h"

#include <QAbstractSocket>
#include <QHash>
#include <QObject>
#include <QWebSocket>

#include <functional>

// Client of the controller's device auto-test channel: sends sequenced
// requests, hands each acknowledgement to the callback of its request and
// each pushed event to its subscriber.
class ATDeviceProxy : public QObject
{
    Q_OBJECT

public:
    explicit ATDeviceProxy(QObject* parent = nullptr);
    ~ATDeviceProxy() override;

    void Open(const QString& url);
    // Aborts the connection and forgets every pending callback and subscription.
    // Hands what is queued to the network now: Close aborts, which drops
    // what was not yet written.
    void Flush() { socket.flush(); }
    void Close();
    void SubscribeEvent(const QString& event, const ReplyCallback& handler);
    // Adds a fresh "SEQ" to `request`, sends it and keeps `onAck` for the answer.
    void SendAckJson(QJsonObject& request, const ReplyCallback& onAck);
    void EnterAutoTest(bool enter, const ReplyCallback& onAck);
    void SetCaseData(const QJsonObject& value, const ReplyCallback& onAck);
    // Requests unanswered after `ms` (0: never) are given up and reported to onTimeout.
    void SetTimeLimit(int ms) { pendingAcks.SetTimeLimit(ms); }
    bool IsConnected() const { return connected; }

    std::function<void()> onConnected;
    std::function<void()> onDisconnected;
    std::function<void(const QString&)> onError;
    // The command of a request whose answer did not come in time.
    std::function<void(const QString& command)> onTimeout;

private Q_SLOTS:
    void OnConnect();
    void OnDisconnect();
    void OnTextMessage(const QString& msg);
    void OnBlobMessage(const QByteArray& blob);
    void OnError(QAbstractSocket::SocketError err);

private:
    QWebSocket socket;
    AckRequests pendingAcks{QStringLiteral("ATDeviceProxy")};
    QHash<QString, ReplyCallback> eventHandlers;
    bool connected = false;
    bool errorSeen = false;
};
