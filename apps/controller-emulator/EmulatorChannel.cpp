#include "apps/controller-emulator/EmulatorChannel.h"

#include "apps/controller-emulator/EmulatedDevice.h"
#include "apps/controller-emulator/EmulatorConfig.h"
#include "platform/Debugger.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QWebSocket>

namespace {

// Pushes are skipped while this much waits to be sent.
constexpr qint64 kMaxPushBacklog = 8 * 1024 * 1024;

QString compact(const QJsonObject& object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

} // namespace

EmulatorChannel::EmulatorChannel(QWebSocket* socket, Kind kind, EmulatedDevice* device, const EmulatorConfig& config,
                                 int number, QObject* parent)
    : QObject(parent)
    , m_socket(socket)
    , m_kind(kind)
    , m_device(device)
    , m_config(config)
    , m_number(number)
{
    m_socket->setParent(this);
    connect(m_socket, &QWebSocket::textMessageReceived, this, &EmulatorChannel::OnTextMessage);
    connect(m_socket, &QWebSocket::binaryMessageReceived, this, [this](const QByteArray& message) {
        KIV_LOG("Emulator", "EmulatorChannel::OnBinaryMessage", 1)
            << Name() << ": binary message of " << int(message.size()) << " bytes ignored";
    });
    connect(m_socket, &QWebSocket::disconnected, this, &EmulatorChannel::OnDisconnected);
}

EmulatorChannel::~EmulatorChannel()
{
    // The socket may still report from its destructor; nothing here may hear it.
    m_socket->disconnect(this);
    delete m_socket;
}

QString EmulatorChannel::Name() const
{
    return QStringLiteral("%1 channel #%2 of %3")
        .arg(m_kind == Kind::Device ? QStringLiteral("device") : QStringLiteral("simulator"))
        .arg(m_number)
        .arg(m_device->Id());
}

void EmulatorChannel::Send(const QJsonObject& message)
{
    const QString text = compact(message);
    KIV_LOG("Emulator", "EmulatorChannel::Send", 3) << Name() << " -> " << text;
    m_socket->sendTextMessage(text);
}

void EmulatorChannel::Push(const QJsonObject& event)
{
    if (m_socket->bytesToWrite() > kMaxPushBacklog) {
        if (!m_pushesStalled)
            KIV_LOG("Emulator", "EmulatorChannel::Push", 1) << Name() << ": peer is not reading, skipping pushes";
        m_pushesStalled = true;
        return;
    }
    m_pushesStalled = false;
    Send(event);
}

void EmulatorChannel::OnTextMessage(const QString& text)
{
    // Frames already read when the connection was dropped still arrive.
    if (m_dropped)
        return;
    KIV_LOG("Emulator", "EmulatorChannel::OnTextMessage", 3) << Name() << " <- " << text;

    ++m_received;
    const int dropAfter = m_kind == Kind::Device ? m_config.dropAfter : m_config.dropSimAfter;
    if (dropAfter > 0 && m_received >= dropAfter) {
        KIV_LOG("Emulator", "EmulatorChannel::OnTextMessage", 2)
            << Name() << ": dropping the connection at message " << m_received << " as asked";
        m_dropped = true;
        m_socket->abort();
        return;
    }

    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &parseError);
    if (!document.isObject()) {
        KIV_LOG("Emulator", "EmulatorChannel::OnTextMessage", 1)
            << Name() << ": not a JSON object (" << parseError.errorString() << "), not answered: " << text.left(1000);
        return;
    }
    const QJsonObject request = document.object();
    const QJsonValue seq = request.value(QStringLiteral("SEQ"));
    const QString command = request.value(QStringLiteral("CMD")).toString();

    if (m_config.ignored.contains(command)) {
        KIV_LOG("Emulator", "EmulatorChannel::OnTextMessage", 2) << Name() << ": ignoring " << command << " as asked";
        return;
    }

    QJsonObject answer;
    const bool refused = m_config.refused.contains(command);
    if (refused) {
        KIV_LOG("Emulator", "EmulatorChannel::OnTextMessage", 2) << Name() << ": refusing " << command << " as asked";
        answer.insert(QStringLiteral("ERROR"), QStringLiteral("Refused by emulator"));
    } else if (!request.value(QStringLiteral("CMD")).isString()) {
        answer.insert(QStringLiteral("ERROR"), QStringLiteral("Request without a \"CMD\" text"));
    } else if (!seq.isString()) {
        answer.insert(QStringLiteral("ERROR"), QStringLiteral("Request without a \"SEQ\" text"));
    } else if (m_kind == Kind::Device) {
        answer = m_device->RunDeviceCommand(command, request, this);
    } else {
        answer = m_device->RunSimulatorCommand(command, request);
    }
    // Whatever "SEQ" came is given back, so that even a bad request can be
    // matched; without one the answer has none (inserting undefined removes).
    answer.insert(QStringLiteral("SEQ"), seq);
    if (!refused && answer.value(QStringLiteral("ERROR")).toString() != QLatin1String("SUCCESS"))
        KIV_LOG("Emulator", "EmulatorChannel::OnTextMessage", 1)
            << Name() << ": " << command << " failed: " << answer.value(QStringLiteral("ERROR")).toString();
    Send(answer);
}

void EmulatorChannel::OnDisconnected()
{
    KIV_LOG("Emulator", "EmulatorChannel::OnDisconnected", 2)
        << Name() << " closed after " << m_received << " messages";
    m_device->ChannelClosed(this);
    // The socket that reported the loss is still on the call stack.
    deleteLater();
}
