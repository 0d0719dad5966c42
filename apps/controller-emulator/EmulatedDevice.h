#pragma once

#include <QJsonObject>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

struct EmulatorConfig;
class EmulatorChannel;

// The state of one device id: its auto-test mode with the observation pushes
// that go with it, and its simulator. The device model is deliberately
// simple: every case item's output is the value last set as its input.
//
// The device channel and the simulator channel of the same id share this
// state; several connections of one kind may exist at once (a worker that
// reconnects may be seen before its old connection is), and the pushes go to
// the connection that last entered auto-test mode.
class EmulatedDevice : public QObject
{
    Q_OBJECT

public:
    EmulatedDevice(const QString& id, const EmulatorConfig& config, QObject* parent = nullptr);
    ~EmulatedDevice() override;

    const QString& Id() const { return m_id; }
    bool InAutoTest() const { return m_autoTest; }

    // Run one request and return the answer without its "SEQ".
    QJsonObject RunDeviceCommand(const QString& command, const QJsonObject& request, EmulatorChannel* from);
    QJsonObject RunSimulatorCommand(const QString& command, const QJsonObject& request);

    // A connection of this device went away.
    void ChannelClosed(EmulatorChannel* channel);

private:
    QJsonObject EnterAutoTest(const QJsonValue& value, EmulatorChannel* from);
    QJsonObject SetCaseData(const QJsonValue& value);
    QJsonObject StartSimulator(const QJsonObject& request);
    QJsonObject StopSimulator();
    void LeaveAutoTest(const QString& why);
    void Push();
    void Burst(int count);

    QString m_id;
    const EmulatorConfig& m_config;
    QTimer m_pushTimer;
    QPointer<EmulatorChannel> m_pushTarget;
    bool m_autoTest = false;
    // Pushes since the device last entered auto-test mode.
    int m_pushCount = 0;
    bool m_simulatorRunning = false;
    QJsonObject m_simulatorParams;
};
