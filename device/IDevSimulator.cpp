#include "device/IDevSimulator.h"

#include "device/AckRequests.h"
#include "platform/Debugger.h"

#include <QJsonObject>
#include <QTimer>
#include <QUrl>

IDevSimulator::IDevSimulator(QObject* parent)
    : QObject(parent)
    , socket(QString(), QWebSocketProtocol::VersionLatest)
{
    AckRequests::LimitIncomingSize(socket);
    pendingAcks.onTimeout = [this](const QString& command) { Q_EMIT TimedOut(command); };
    connect(&socket, &QWebSocket::textMessageReceived, this, &IDevSimulator::OnTextMsg);
    connect(&socket, &QWebSocket::disconnected, this, &IDevSimulator::OnDisconnected);
    connect(&socket, &QWebSocket::connected, this, &IDevSimulator::OnConnected);
    connect(&socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this, &IDevSimulator::OnError);
}

IDevSimulator::~IDevSimulator()
{
    // No Stopped() from the abort below: receivers may be half torn down with us.
    socket.disconnect(this);
    socket.abort();
}

void IDevSimulator::Open(const QString& url)
{
    connected = false;
    errorSeen = false;
    socket.open(QUrl(url));
    // Acknowledgements of an earlier connection can no longer arrive on this one.
    pendingAcks.Clear();
}

void IDevSimulator::Close()
{
    // Pending callbacks are kept until the next Open().
    socket.abort();
}

void IDevSimulator::StartSim(const SimParams& params, const ReplyCallback& onAck)
{
    QJsonObject request{{QStringLiteral("CMD"), QStringLiteral("start_sim")},
                        {QStringLiteral("latitude"), params.latitude},
                        {QStringLiteral("longitude"), params.longitude},
                        {QStringLiteral("frequency"), params.frequency},
                        {QStringLiteral("only_aircraft"), params.only_aircraft}};
    SendAckJson(request, onAck);
}

void IDevSimulator::StopSim(const ReplyCallback& onAck)
{
    QJsonObject request{{QStringLiteral("CMD"), QStringLiteral("stop_sim")}};
    SendAckJson(request, onAck);
}

void IDevSimulator::SendAckJson(QJsonObject& request, const ReplyCallback& onAck)
{
    pendingAcks.Send(socket, request, onAck, "IDevSimulator::SendAckJson");
}

void IDevSimulator::OnTextMsg(QString msg)
{
    QJsonObject object;
    QString fault;
    if (!AckRequests::Read(msg, object, fault)) {
        KIV_LOG("IDevSimulator", "IDevSimulator::OnTextMsg", 1) << "[Parse Json Error]" << msg.left(1024);
        if (!fault.isEmpty())
            Q_EMIT Errored(fault);
        return;
    }
    if (object.contains(QStringLiteral("SEQ"))) {
        if (!pendingAcks.Deliver(object))
            KIV_LOG("IDevSimulator", "IDevSimulator::OnTextMsg", 1) << "[Seq is not concern]" << msg;
        return;
    }
    // The simulator's events are of no use to a job; they are dropped silently.
    if (object.contains(QStringLiteral("EVENT")))
        return;
    KIV_LOG("IDevSimulator", "IDevSimulator::OnTextMsg", 1) << "[Msg no SEQ and EVENT]" << msg;
}

void IDevSimulator::OnError(QAbstractSocket::SocketError)
{
    errorSeen = true;
    Q_EMIT Errored(socket.errorString());
}

void IDevSimulator::OnConnected()
{
    connected = true;
    Q_EMIT Started();
}

void IDevSimulator::OnDisconnected()
{
    const bool wasConnected = connected;
    connected = false;
    const QString fault = AckRequests::CloseFault(socket);
    if (!fault.isEmpty()) {
        Q_EMIT Errored(fault);
        return;
    }
    // A connection that never came up reports its disconnection before the
    // error that says why; give the error its turn first.
    if (!wasConnected) {
        QTimer::singleShot(0, this, [this] {
            if (!errorSeen)
                Q_EMIT Stopped();
        });
        return;
    }
    Q_EMIT Stopped();
}
