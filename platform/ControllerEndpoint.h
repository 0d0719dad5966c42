#pragma once

#include <QString>

// Where the local controller process serves its two WebSocket channels: the
// device auto-test channel and the simulator channel, each per device id.
namespace ControllerEndpoint {

constexpr quint16 Port = 19870;
constexpr const char* Host = "127.0.0.1";
constexpr const char* AutoTestPath = "/controller/auto_test/";
constexpr const char* SimulatorPath = "/controller/simulator/";

QString AutoTestUrl(const QString& deviceId);
QString SimulatorUrl(const QString& deviceId);

} // namespace ControllerEndpoint
