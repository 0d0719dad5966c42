#include "apps/controller-emulator/EmulatedDevice.h"

#include "apps/controller-emulator/EmulatorChannel.h"
#include "apps/controller-emulator/EmulatorConfig.h"
#include "platform/Debugger.h"

#include <QJsonArray>

namespace {

const QString kSuccess = QStringLiteral("SUCCESS");

QJsonObject success()
{
    return {{QStringLiteral("ERROR"), kSuccess}};
}

QJsonObject failure(const QString& text)
{
    return {{QStringLiteral("ERROR"), text}};
}

// An item index given as a JSON number with an integral value.
bool readIndex(const QJsonValue& value, int& index)
{
    if (!value.isDouble())
        return false;
    const double number = value.toDouble();
    index = int(number);
    return double(index) == number;
}

} // namespace

EmulatedDevice::EmulatedDevice(const QString& id, const EmulatorConfig& config, QObject* parent)
    : QObject(parent)
    , m_id(id)
    , m_config(config)
{
    m_pushTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_pushTimer, &QTimer::timeout, this, &EmulatedDevice::Push);
}

EmulatedDevice::~EmulatedDevice() = default;

QJsonObject EmulatedDevice::RunDeviceCommand(const QString& command, const QJsonObject& request, EmulatorChannel* from)
{
    if (command == QLatin1String("EnterAutoTest"))
        return EnterAutoTest(request.value(QStringLiteral("VALUE")), from);
    if (command == QLatin1String("SetCaseData"))
        return SetCaseData(request.value(QStringLiteral("VALUE")));
    return failure(QStringLiteral("Unknown command '%1' on the device channel").arg(command));
}

QJsonObject EmulatedDevice::RunSimulatorCommand(const QString& command, const QJsonObject& request)
{
    if (command == QLatin1String("start_sim"))
        return StartSimulator(request);
    if (command == QLatin1String("stop_sim"))
        return StopSimulator();
    return failure(QStringLiteral("Unknown command '%1' on the simulator channel").arg(command));
}

void EmulatedDevice::ChannelClosed(EmulatorChannel* channel)
{
    if (m_autoTest && m_pushTarget == channel)
        LeaveAutoTest(QStringLiteral("its connection ") + channel->Name() + QStringLiteral(" closed"));
}

QJsonObject EmulatedDevice::EnterAutoTest(const QJsonValue& value, EmulatorChannel* from)
{
    // The service sends a number; a boolean or a text is a client bug.
    if (!value.isDouble() || (value.toDouble() != 1 && value.toDouble() != 0))
        return failure(QStringLiteral("EnterAutoTest VALUE must be the number 1 or 0"));

    if (value.toDouble() == 0) {
        if (m_autoTest)
            LeaveAutoTest(QStringLiteral("asked by ") + from->Name());
        else
            KIV_LOG("Emulator", "EmulatedDevice::EnterAutoTest", 2)
                << "Device " << m_id << " asked to leave auto-test mode while not in it";
        return success();
    }

    // Entering again restarts the count and moves the pushes to the asking connection.
    m_autoTest = true;
    m_pushCount = 0;
    m_pushTarget = from;
    const bool pushing = m_config.pushInterval > 0 && !m_config.emptyTemplate;
    if (pushing)
        m_pushTimer.start(m_config.pushInterval);
    else
        m_pushTimer.stop();
    // After the answer has gone: the service ignores what comes before it.
    if (m_config.burst > 0 && !m_config.emptyTemplate)
        QTimer::singleShot(0, this, [this] { Burst(m_config.burst); });
    KIV_LOG("Emulator", "EmulatedDevice::EnterAutoTest", 2)
        << "Device " << m_id << " entered auto-test mode; "
        << (pushing ? QStringLiteral("pushes go to ") + from->Name() : QStringLiteral("it pushes nothing"));

    QJsonObject answer = success();
    if (m_config.emptyTemplate)
        answer.insert(QStringLiteral("VALUE"), QJsonObject{{QStringLiteral("MODULES"), QJsonArray()}});
    else
        answer.insert(QStringLiteral("VALUE"), m_config.deviceTemplate.Answer());
    return answer;
}

void EmulatedDevice::LeaveAutoTest(const QString& why)
{
    m_autoTest = false;
    m_pushTimer.stop();
    m_pushTarget.clear();
    KIV_LOG("Emulator", "EmulatedDevice::LeaveAutoTest", 2)
        << "Device " << m_id << " left auto-test mode after " << m_pushCount << " pushes: " << why;
}

QJsonObject EmulatedDevice::SetCaseData(const QJsonValue& value)
{
    if (!m_autoTest)
        return failure(QStringLiteral("Device %1 is not in auto-test mode").arg(m_id));
    if (!value.isObject())
        return failure(QStringLiteral("SetCaseData VALUE is not an object"));
    const QJsonObject caseData = value.toObject();
    const int moduleSeq = caseData.value(QStringLiteral("MODULE_SEQ")).toInt();
    const int groupSeq = caseData.value(QStringLiteral("GROUP_SEQ")).toInt();
    QSet<int> indexes;
    QString error;
    if (!m_config.deviceTemplate.CaseGroupIndexes(moduleSeq, groupSeq, indexes, error))
        return failure(error);
    const QJsonValue data = caseData.value(QStringLiteral("DATA"));
    if (!data.isArray())
        return failure(QStringLiteral("SetCaseData DATA is not an array"));

    // Each item reads back exactly what was set; entries the group does not
    // have are left out, as a device does with inputs it does not know.
    QJsonArray results;
    for (const QJsonValue& entryValue : data.toArray()) {
        const QJsonObject entry = entryValue.toObject();
        int index = 0;
        if (!entryValue.isObject() || !readIndex(entry.value(QStringLiteral("INDEX")), index)
            || !indexes.contains(index)) {
            KIV_LOG("Emulator", "EmulatedDevice::SetCaseData", 1)
                << "Device " << m_id << ": module " << moduleSeq << " group " << groupSeq
                << " has no item for the entry " << entry;
            continue;
        }
        const QJsonValue input = entry.value(QStringLiteral("VALUE"));
        results.append(QJsonObject{{QStringLiteral("INDEX"), index},
                                   {QStringLiteral("VALUE"), input.isUndefined() ? QJsonValue() : input}});
    }

    QJsonObject answer = success();
    answer.insert(QStringLiteral("MODULE_SEQ"), moduleSeq);
    answer.insert(QStringLiteral("GROUP_SEQ"), groupSeq);
    answer.insert(QStringLiteral("DATA"), results);
    KIV_LOG("Emulator", "EmulatedDevice::SetCaseData", 3)
        << "Device " << m_id << " set module " << moduleSeq << " group " << groupSeq << ": "
        << int(results.size()) << " items";
    return answer;
}

QJsonObject EmulatedDevice::StartSimulator(const QJsonObject& request)
{
    static const char* const keys[] = {"latitude", "longitude", "frequency", "only_aircraft"};
    QJsonObject params;
    for (const char* key : keys) {
        const QJsonValue value = request.value(QLatin1String(key));
        if (!value.isDouble())
            return failure(QStringLiteral("start_sim needs a number \"%1\"").arg(QLatin1String(key)));
        params.insert(QLatin1String(key), value);
    }
    KIV_LOG("Emulator", "EmulatedDevice::StartSimulator", 2)
        << "Simulator of " << m_id << (m_simulatorRunning ? " restarted with " : " started with ") << params;
    m_simulatorRunning = true;
    m_simulatorParams = params;
    return success();
}

QJsonObject EmulatedDevice::StopSimulator()
{
    KIV_LOG("Emulator", "EmulatedDevice::StopSimulator", 2)
        << "Simulator of " << m_id << (m_simulatorRunning ? " stopped" : " asked to stop while not running");
    m_simulatorRunning = false;
    m_simulatorParams = QJsonObject();
    return success();
}

void EmulatedDevice::Push()
{
    if (!m_pushTarget) {
        LeaveAutoTest(QStringLiteral("its connection is gone"));
        return;
    }
    ++m_pushCount;
    for (const DeviceTemplate::ObseModule& module : m_config.deviceTemplate.ObseModules()) {
        QJsonArray values;
        for (const DeviceTemplate::ObseItem& item : module.items) {
            values.append(QJsonObject{{QStringLiteral("GROUP_SEQ"), item.groupSeq},
                                      {QStringLiteral("INDEX"), item.index},
                                      {QStringLiteral("VALUE"), item.base + item.step * m_pushCount}});
        }
        m_pushTarget->Push(QJsonObject{{QStringLiteral("EVENT"), QStringLiteral("PushObseData")},
                                       {QStringLiteral("MODULE_SEQ"), module.moduleSeq},
                                       {QStringLiteral("VALUE"), values}});
    }
    KIV_LOG("Emulator", "EmulatedDevice::Push", 3) << "Device " << m_id << " push " << m_pushCount;
}

void EmulatedDevice::Burst(int count)
{
    if (!m_pushTarget)
        return;
    // The values go round the observation items, the n-th round with the n-th
    // push's values, in events of up to 1000 values of one module each.
    QVector<QPair<int, DeviceTemplate::ObseItem>> items;
    for (const DeviceTemplate::ObseModule& module : m_config.deviceTemplate.ObseModules()) {
        for (const DeviceTemplate::ObseItem& item : module.items)
            items.append({module.moduleSeq, item});
    }
    if (items.isEmpty())
        return;
    QHash<int, QJsonArray> pending;
    const auto send = [this](int moduleSeq, QJsonArray& values) {
        m_pushTarget->Send(QJsonObject{{QStringLiteral("EVENT"), QStringLiteral("PushObseData")},
                                       {QStringLiteral("MODULE_SEQ"), moduleSeq},
                                       {QStringLiteral("VALUE"), values}});
        values = QJsonArray();
    };
    for (int k = 0; k < count; ++k) {
        const auto& [moduleSeq, item] = items.at(k % items.size());
        QJsonArray& values = pending[moduleSeq];
        values.append(QJsonObject{{QStringLiteral("GROUP_SEQ"), item.groupSeq},
                                  {QStringLiteral("INDEX"), item.index},
                                  {QStringLiteral("VALUE"), item.base + item.step * (k / items.size() + 1)}});
        if (values.size() == 1000)
            send(moduleSeq, values);
    }
    for (auto it = pending.begin(); it != pending.end(); ++it) {
        if (!it.value().isEmpty())
            send(it.key(), it.value());
    }
    KIV_LOG("Emulator", "EmulatedDevice::Burst", 2) << "Device " << m_id << " pushed a burst of " << count << " values";
}
