#include "device/ATDeviceProxy.h"

#include "device/AckRequests.h"
#include "platform/Debugger.h"

#include <QJsonObject>
#include <QTimer>
#include <QUrl>

ATDeviceProxy::ATDeviceProxy(QObject* parent)
    : QObject(parent)
    , socket(QString(), QWebSocketProtocol::VersionLatest)
{
    AckRequests::LimitIncomingSize(socket);
    pendingAcks.onTimeout = [this](const QString& command) {
        if (onTimeout)
            onTimeout(command);
    };
    connect(&socket, &QWebSocket::textMessageReceived, this, &ATDeviceProxy::OnTextMessage);
    connect(&socket, &QWebSocket::binaryMessageReceived, this, &ATDeviceProxy::OnBlobMessage);
    connect(&socket, &QWebSocket::disconnected, this, &ATDeviceProxy::OnDisconnect);
    connect(&socket, &QWebSocket::connected, this, &ATDeviceProxy::OnConnect);
    connect(&socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this, &ATDeviceProxy::OnError);
}

ATDeviceProxy::~ATDeviceProxy()
{
    // The abort below may report a disconnection; the owner is usually being
    // torn down itself, so its callbacks must not run any more.
    socket.disconnect(this);
    Close();
}

void ATDeviceProxy::Open(const QString& url)
{
    connected = false;
    errorSeen = false;
    socket.open(QUrl(url));
}

void ATDeviceProxy::Close()
{
    socket.abort();
    pendingAcks.Clear();
    eventHandlers.clear();
}

void ATDeviceProxy::SubscribeEvent(const QString& event, const ReplyCallback& handler)
{
    eventHandlers.insert(event, handler);
}

void ATDeviceProxy::SendAckJson(QJsonObject& request, const ReplyCallback& onAck)
{
    pendingAcks.Send(socket, request, onAck, "ATDeviceProxy::SendAckJson");
}

void ATDeviceProxy::EnterAutoTest(bool enter, const ReplyCallback& onAck)
{
    // The controller expects a number here, not a JSON boolean.
    QJsonObject request{{QStringLiteral("CMD"), QStringLiteral("EnterAutoTest")},
                        {QStringLiteral("VALUE"), enter ? 1 : 0}};
    SendAckJson(request, onAck);
}

void ATDeviceProxy::SetCaseData(const QJsonObject& value, const ReplyCallback& onAck)
{
    QJsonObject request{{QStringLiteral("CMD"), QStringLiteral("SetCaseData")}, {QStringLiteral("VALUE"), value}};
    SendAckJson(request, onAck);
}

void ATDeviceProxy::OnConnect()
{
    connected = true;
    if (onConnected)
        onConnected();
}

void ATDeviceProxy::OnDisconnect()
{
    const bool wasConnected = connected;
    connected = false;
    const QString fault = AckRequests::CloseFault(socket);
    if (!fault.isEmpty()) {
        if (onError)
            onError(fault);
        return;
    }
    // A connection that never came up reports its disconnection before the
    // error that says why; give the error its turn first.
    if (!wasConnected) {
        QTimer::singleShot(0, this, [this] {
            if (!errorSeen && onDisconnected)
                onDisconnected();
        });
        return;
    }
    if (onDisconnected)
        onDisconnected();
}

void ATDeviceProxy::OnTextMessage(const QString& msg)
{
    QJsonObject object;
    QString fault;
    if (!AckRequests::Read(msg, object, fault)) {
        KIV_LOG("ATDeviceProxy", "ATDeviceProxy::OnTextMessage", 1) << "[Parse Json Error]" << msg.left(1024);
        if (!fault.isEmpty() && onError)
            onError(fault);
        return;
    }
    // An object with both keys is an acknowledgement, never an event.
    if (object.contains(QStringLiteral("SEQ"))) {
        if (!pendingAcks.Deliver(object))
            KIV_LOG("ATDeviceProxy", "ATDeviceProxy::OnTextMessage", 1) << "[Seq is not concern]" << msg;
        return;
    }
    if (object.contains(QStringLiteral("EVENT"))) {
        const auto it = eventHandlers.constFind(object.value(QStringLiteral("EVENT")).toString());
        if (it == eventHandlers.constEnd()) {
            KIV_LOG("ATDeviceProxy", "ATDeviceProxy::OnTextMessage", 1) << "[Event is not concern]" << msg;
            return;
        }
        // A copy, because the handler may close the proxy and so empty the table.
        const ReplyCallback handler = it.value();
        if (handler)
            handler(object);
        return;
    }
    KIV_LOG("ATDeviceProxy", "ATDeviceProxy::OnTextMessage", 1) << "[Msg no SEQ and EVENT]" << msg;
}

void ATDeviceProxy::OnBlobMessage(const QByteArray&)
{
    // The controller speaks JSON text only; binary frames carry nothing for us.
}

void ATDeviceProxy::OnError(QAbstractSocket::SocketError)
{
    errorSeen = true;
    if (onError)
        onError(socket.errorString());
}
