#pragma once

#include <QObject>
#include <QString>

class QJsonObject;
class QWebSocket;
class EmulatedDevice;
struct EmulatorConfig;

// One accepted connection to a device id's device or simulator channel. It
// reads the requests, applies the faults the emulator was started with, has
// the device run the rest, and answers. It deletes itself once the
// connection is gone.
class EmulatorChannel : public QObject
{
    Q_OBJECT

public:
    enum class Kind { Device, Simulator };

    // Takes over the socket.
    EmulatorChannel(QWebSocket* socket, Kind kind, EmulatedDevice* device, const EmulatorConfig& config, int number,
                    QObject* parent = nullptr);
    ~EmulatorChannel() override;

    // For log lines: "device channel #3 of dev-a".
    QString Name() const;

    void Send(const QJsonObject& message);
    // Sends an event unless the peer has stopped reading: nothing caps a
    // socket's outgoing buffer, and a device keeps pushing regardless.
    void Push(const QJsonObject& event);

private:
    void OnTextMessage(const QString& text);
    void OnDisconnected();

    QWebSocket* m_socket;
    Kind m_kind;
    EmulatedDevice* m_device;
    const EmulatorConfig& m_config;
    int m_number;
    int m_received = 0;
    bool m_dropped = false;
    bool m_pushesStalled = false;
};
