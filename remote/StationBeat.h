#pragma once

#include <QJsonValue>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

struct RemoteSettings;
class WebFileGetter;

// A station: a host that belongs to the lab, with the devices it offers.
struct StationInfo
{
    struct Device
    {
        // As jobs name the device in their "url".
        QString url;
        QStringList tags;
    };

    QString name;
    // The service library's, so that the server can tell old stations.
    QString version;
    QList<Device> devices;
};

// Checks a station in with the remote server it uses now: posts
// {"cmd":"station_beat","station":...,"version":...,"devices":[{"url","tags",
// "state","jobid"}]} every third of the lease the server answers with
// ("lease_ms", bounded to MinPeriodMs..MaxPeriodMs; DefaultPeriodMs before the
// first answer), whatever mode the clients use. At most one beat is in
// flight: the period counts from the last answer, and a beat asked for
// meanwhile (Now) goes when it comes. A failure is logged when it starts or
// changes, and the recovery once, not every beat.
class StationBeat : public QObject
{
    Q_OBJECT

public:
    static constexpr int DefaultPeriodMs = 5000;
    static constexpr int MinPeriodMs = 1000;
    static constexpr int MaxPeriodMs = 10000;

    // What holds a device now: the "jobid" of its job when busy.
    struct DeviceState
    {
        bool busy = false;
        QJsonValue jobId;
    };
    using StateOf = std::function<DeviceState(const QString& url)>;

    // Beats go to `settings`' host of `selector` (read at every beat, as the
    // owner may change both) and never change the selector: a server that a
    // station cannot reach is the clients' to give up. `stateOf` tells each
    // device's state.
    StationBeat(const StationInfo& station, WebFileGetter& transport, const RemoteSettings& settings,
                const int& selector, StateOf stateOf);
    // Held by reference: a temporary would be gone before the first beat.
    StationBeat(const StationInfo&, WebFileGetter&, RemoteSettings&&, const int&, StateOf) = delete;
    StationBeat(const StationInfo&, WebFileGetter&, const RemoteSettings&, int&&, StateOf) = delete;

    // Beats from the next turn of the event loop on.
    void Start();
    // Beats at once (or as soon as the beat in flight is answered), so that
    // the server sees a device taken or freed without waiting for the period.
    void Now();
    bool Started() const { return m_started; }

private:
    void Send();
    // The answer of `url`; `failure` is empty when it took the beat.
    void OnAnswer(const QString& url, const QString& failure, int leaseMs);

    const StationInfo station;
    WebFileGetter& transport;
    const RemoteSettings& settings;
    const int& selector;
    const StateOf stateOf;
    QTimer m_timer;
    bool m_started = false;
    bool m_inFlight = false;
    bool m_again = false;
    // Why the last beat failed, empty while beats are taken.
    QString m_failure;
};
