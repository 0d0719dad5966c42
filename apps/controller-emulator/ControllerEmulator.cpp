#include "apps/controller-emulator/ControllerEmulator.h"

#include "apps/controller-emulator/EmulatedDevice.h"
#include "apps/controller-emulator/EmulatorChannel.h"
#include "platform/Debugger.h"

#include <QTimer>
#include <QWebSocket>

namespace {

const QString kDevicePath = QStringLiteral("/controller/auto_test/");
const QString kSimulatorPath = QStringLiteral("/controller/simulator/");

// A peer that does not answer our close frame is cut off after this long.
constexpr int kCloseTimeoutMs = 5000;

} // namespace

ControllerEmulator::ControllerEmulator(const EmulatorConfig& config, QObject* parent)
    : QObject(parent)
    , m_config(config)
    , m_server(QStringLiteral("controller-emulator"), QWebSocketServer::NonSecureMode)
{
    m_server.setMaxPendingConnections(256);
    connect(&m_server, &QWebSocketServer::newConnection, this, &ControllerEmulator::OnNewConnection);
    connect(&m_server, &QWebSocketServer::acceptError, this, [this](QAbstractSocket::SocketError) {
        KIV_LOG("Emulator", "ControllerEmulator::acceptError", 1) << m_server.errorString();
    });
}

ControllerEmulator::~ControllerEmulator()
{
    m_server.close();
    // Connections go before the devices they refer to; rejected sockets that
    // are still closing are children too.
    const auto channels = findChildren<EmulatorChannel*>(QString(), Qt::FindDirectChildrenOnly);
    qDeleteAll(channels);
    const auto sockets = findChildren<QWebSocket*>(QString(), Qt::FindDirectChildrenOnly);
    for (QWebSocket* socket : sockets) {
        socket->disconnect(this);
        delete socket;
    }
    qDeleteAll(m_devices);
    m_devices.clear();
}

bool ControllerEmulator::Listen(const QHostAddress& address, quint16 port)
{
    if (!m_server.listen(address, port)) {
        m_error = m_server.errorString();
        return false;
    }
    return true;
}

void ControllerEmulator::OnNewConnection()
{
    while (QWebSocket* socket = m_server.nextPendingConnection()) {
        socket->setMaxAllowedIncomingFrameSize(MaxMessageSize);
        socket->setMaxAllowedIncomingMessageSize(MaxMessageSize);
        const QString path = socket->requestUrl().path();
        const QString peer = socket->peerAddress().toString() + QLatin1Char(':') + QString::number(socket->peerPort());

        EmulatorChannel::Kind kind = EmulatorChannel::Kind::Device;
        QString deviceId;
        if (path.startsWith(kDevicePath)) {
            deviceId = path.mid(kDevicePath.size());
        } else if (path.startsWith(kSimulatorPath)) {
            kind = EmulatorChannel::Kind::Simulator;
            deviceId = path.mid(kSimulatorPath.size());
        }
        if (deviceId.isEmpty()) {
            KIV_LOG("Emulator", "ControllerEmulator::OnNewConnection", 1)
                << "Refused a connection from " << peer << " to the unknown path \"" << path << "\"";
            Reject(socket);
            continue;
        }

        auto* channel = new EmulatorChannel(socket, kind, Device(deviceId), m_config, ++m_connections, this);
        KIV_LOG("Emulator", "ControllerEmulator::OnNewConnection", 2) << channel->Name() << " opened from " << peer;
    }
}

void ControllerEmulator::Reject(QWebSocket* socket)
{
    socket->setParent(this);
    connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(kCloseTimeoutMs, socket, [socket] { socket->abort(); });
    socket->close(QWebSocketProtocol::CloseCodePolicyViolated,
                  QStringLiteral("No such channel; use /controller/auto_test/<device id> or /controller/simulator/<device id>"));
}

EmulatedDevice* ControllerEmulator::Device(const QString& id)
{
    EmulatedDevice*& device = m_devices[id];
    if (!device) {
        device = new EmulatedDevice(id, m_config);
        KIV_LOG("Emulator", "ControllerEmulator::Device", 2) << "New device " << id;
    }
    return device;
}
