#pragma once

#include <QString>
#include <QUrl>

// Where the local controller process serves its two WebSocket channels: the
// device auto-test channel and the simulator channel, each per device id.
class ControllerEndpoint
{
public:
    static constexpr quint16 DefaultPort = 19870;

    // ws://127.0.0.1:19870: the controller beside the host.
    ControllerEndpoint();
    // "ws://HOST:PORT", a trailing "/" allowed. Anything else gives an
    // endpoint that is not valid, with the reason in `error`.
    static ControllerEndpoint FromText(const QString& text, QString* error = nullptr);

    bool IsValid() const { return m_base.isValid(); }
    // "ws://HOST:PORT"
    QString Text() const { return m_base.toString(QUrl::FullyEncoded); }
    QString AutoTestUrl(const QString& deviceId) const;
    QString SimulatorUrl(const QString& deviceId) const;

private:
    QUrl m_base;
};
