#pragma once

#include "apps/controller-emulator/EmulatorConfig.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QWebSocketServer>

class EmulatedDevice;
class QWebSocket;

// Stands in for the local controller process: serves the device channel
// "/controller/auto_test/<device id>" and the simulator channel
// "/controller/simulator/<device id>" for any number of device ids, each
// with its own EmulatedDevice, created on first contact and kept until exit.
class ControllerEmulator : public QObject
{
    Q_OBJECT

public:
    // The size limit for incoming frames and messages of every connection.
    static constexpr quint64 MaxMessageSize = 32 * 1024 * 1024;

    explicit ControllerEmulator(const EmulatorConfig& config, QObject* parent = nullptr);
    ~ControllerEmulator() override;

    bool Listen(const QHostAddress& address, quint16 port);
    quint16 Port() const { return m_server.serverPort(); }
    QString LastErrorText() const { return m_error; }

private:
    void OnNewConnection();
    void Reject(QWebSocket* socket);
    EmulatedDevice* Device(const QString& id);

    EmulatorConfig m_config;
    QWebSocketServer m_server;
    QHash<QString, EmulatedDevice*> m_devices;
    int m_connections = 0;
    QString m_error;
};
