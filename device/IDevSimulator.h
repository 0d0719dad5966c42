#pragma once

#include "device/AckRequests.h"
#include "device/SimParams.h"
#include "base/ReplyCallback.h"

#include <QAbstractSocket>
#include <QObject>
#include <QWebSocket>

// Client of the controller's simulator channel. Same request/acknowledgement
// protocol as the device channel; reports its connection state by signals.
class IDevSimulator : public QObject
{
    Q_OBJECT

public:
    explicit IDevSimulator(QObject* parent = nullptr);
    ~IDevSimulator() override;

    // Connects and forgets acknowledgements pending from an earlier connection.
    void Open(const QString& url);
    // Hands what is queued to the network now: Close aborts, which drops
    // what was not yet written.
    void Flush() { socket.flush(); }
    void Close();
    void StartSim(const SimParams& params, const ReplyCallback& onAck);
    void StopSim(const ReplyCallback& onAck);
    void SendAckJson(QJsonObject& request, const ReplyCallback& onAck);
    // Requests unanswered after `ms` (0: never) are given up and reported by TimedOut.
    void SetTimeLimit(int ms) { pendingAcks.SetTimeLimit(ms); }
    bool IsConnected() const { return connected; }

Q_SIGNALS:
    void Started();
    void Stopped();
    void Errored(QString msg);
    void TimedOut(QString command);

private Q_SLOTS:
    void OnTextMsg(QString msg);
    void OnError(QAbstractSocket::SocketError err);
    void OnConnected();
    void OnDisconnected();

private:
    QWebSocket socket;
    AckRequests pendingAcks{QStringLiteral("IDevSimulator")};
    bool connected = false;
    bool errorSeen = false;
};
