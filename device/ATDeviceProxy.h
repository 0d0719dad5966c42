#pragma once

#include "front/ReplyCallback.h"

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
    void Close();
    void SubscribeEvent(const QString& event, const ReplyCallback& handler);
    // Adds a fresh "SEQ" to `request`, sends it and keeps `onAck` for the answer.
    void SendAckJson(QJsonObject& request, const ReplyCallback& onAck);
    void EnterAutoTest(bool enter, const ReplyCallback& onAck);
    void SetCaseData(const QJsonObject& value, const ReplyCallback& onAck);

    std::function<void()> onConnected;
    std::function<void()> onDisconnected;
    std::function<void(const QString&)> onError;

private Q_SLOTS:
    void OnConnect();
    void OnDisconnect();
    void OnTextMessage(const QString& msg);
    void OnBlobMessage(const QByteArray& blob);
    void OnError(QAbstractSocket::SocketError err);

private:
    QWebSocket socket;
    QHash<QString, ReplyCallback> pendingAcks;
    QHash<QString, ReplyCallback> eventHandlers;
};
