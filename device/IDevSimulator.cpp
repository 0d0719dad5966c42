#include "device/IDevSimulator.h"

#include "device/AckRequests.h"
#include "platform/Debugger.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

IDevSimulator::IDevSimulator(QObject* parent)
    : QObject(parent)
    , socket(QString(), QWebSocketProtocol::VersionLatest)
{
    LimitIncomingSize(socket);
    connect(&socket, &QWebSocket::textMessageReceived, this, &IDevSimulator::OnTextMsg);
    connect(&socket, &QWebSocket::disconnected, this, &IDevSimulator::Stopped);
    connect(&socket, &QWebSocket::connected, this, &IDevSimulator::Started);
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
    socket.open(QUrl(url));
    // Acknowledgements of an earlier connection can no longer arrive on this one.
    pendingAcks.clear();
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
    SendSequenced(socket, pendingAcks, request, onAck, QStringLiteral("IDevSimulator"), "IDevSimulator::SendAckJson");
}

void IDevSimulator::OnTextMsg(QString msg)
{
    const QJsonDocument document = QJsonDocument::fromJson(msg.toUtf8());
    if (!document.isObject()) {
        KIV_LOG("IDevSimulator", "IDevSimulator::OnTextMsg", 1) << "[Parse Json Error]" << msg;
        return;
    }
    const QJsonObject object = document.object();
    if (object.contains(QStringLiteral("SEQ"))) {
        if (!DeliverAck(pendingAcks, object))
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
    Q_EMIT Errored(socket.errorString());
}
