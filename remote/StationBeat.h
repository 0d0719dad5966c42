#pragma once

#include <QElapsedTimer>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QObject>
#include <QSet>
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
// "state","jobid"}],"boot":...,"seq":...,"jobs":[...],"wait_ms":...}
// whatever mode the clients use. "boot" is chosen at random once, "seq"
// counts the beats from 1, "jobs" are the server job ids the station holds
// and "wait_ms" (the period) how long the server may hold the answer until it
// has a job or a cancel for the station. The jobs and cancels of an answer go
// to the station's Jobs, and the next beat goes at once; after an answer of a
// server that does not hand out jobs, or a failure, a period later: a third
// of the lease the server answers with ("lease_ms", bounded to
// MinPeriodMs..MaxPeriodMs; DefaultPeriodMs before the first answer). At most
// one beat is in flight: a beat asked for meanwhile (Now) goes when the answer
// comes. A failure is logged when it starts or changes, and the recovery
// once, not every beat.
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

    // Where the jobs of the server go.
    struct Jobs
    {
        // The server job ids held: taken from an answer (started or not) and
        // not yet reported, or with a report not yet acknowledged.
        std::function<QList<int>()> held;
        // Runs `entry`, shaped as an answer to "execute_job_local", and
        // reports it to `url`, the base URL that handed it out.
        std::function<void(QJsonObject entry, const QString& url)> take;
        // Ends the held job `jobId`, which then reports as cancelled.
        std::function<void(int jobId)> cancel;
    };

    // Beats go to `settings`' host of `selector` (read at every beat, as the
    // owner may change both) and never change the selector: a server that a
    // station cannot reach is the clients' to give up. `stateOf` tells each
    // device's state.
    StationBeat(const StationInfo& station, WebFileGetter& transport, const RemoteSettings& settings,
                const int& selector, StateOf stateOf, Jobs jobs);
    // Held by reference: a temporary would be gone before the first beat.
    StationBeat(const StationInfo&, WebFileGetter&, RemoteSettings&&, const int&, StateOf, Jobs) = delete;
    StationBeat(const StationInfo&, WebFileGetter&, const RemoteSettings&, int&&, StateOf, Jobs) = delete;

    // Beats from the next turn of the event loop on.
    void Start();
    // Beats at once (or as soon as the beat in flight is answered), so that
    // the server sees a device taken or freed without waiting for the period.
    void Now();
    bool Started() const { return m_started; }

private:
    // What a beat's answer said.
    struct Answer
    {
        // Empty when the server took the beat.
        QString failure;
        int leaseMs = 0;
        // Whether the server hands out jobs ("jobs" is an array), and whether
        // it handed out any job or cancel.
        bool dispatching = false;
        bool handed = false;
    };

    void Send();
    Answer Read(const QJsonObject& answer, const QString& url);
    void OnAnswer(const QString& url, const Answer& answer);

    const StationInfo station;
    WebFileGetter& transport;
    const RemoteSettings& settings;
    const int& selector;
    const StateOf stateOf;
    const Jobs jobs;
    // Tells this process's beats from those of the station's earlier runs.
    const QString m_boot;
    qint64 m_seq = 0;
    int m_periodMs = DefaultPeriodMs;
    QTimer m_timer;
    QElapsedTimer m_sent;
    bool m_started = false;
    bool m_inFlight = false;
    bool m_again = false;
    // Why the last beat failed, empty while beats are taken.
    QString m_failure;
    // Jobs cancelled at the server's word, while the station holds them.
    QSet<int> m_cancelled;
};
