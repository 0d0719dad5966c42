#pragma once

class ComponentMap;
class LocalModel;
class QJsonObject;

// Stations (hosts in mode "remote") and their devices as the server knows
// them: each station posts "station_beat" every few seconds with its whole
// device list, and is online while its last beat is younger than the lease.
// "lab_state" shows them all.
class StationRegistry
{
public:
    static constexpr int DefaultLeaseMs = 30 * 1000;
    // What one beat may carry.
    static constexpr int MaxDevices = 64;
    static constexpr int MaxTags = 50;
    // What "lab_state" reads at most; past it, it refuses rather than
    // building a reply of unbounded size.
    static constexpr int MaxStations = 1000;
    static constexpr int MaxStoredDevices = MaxStations * MaxDevices;
    // The queue and the running jobs "lab_state" lists at most.
    static constexpr int MaxQueue = 100;
    static constexpr int MaxRunning = MaxStoredDevices;
    // The jobs a beat may say its station holds, and the longest a beat may
    // wait for work.
    static constexpr int MaxHeldJobs = 1000;
    static constexpr int MaxWaitMs = 30000;

    void SetModel(LocalModel* model) { m_model = model; }
    // 0 shows every station offline as soon as it beat.
    void SetLease(int ms) { m_leaseMs = ms; }

    // {"station", "version", "devices": [{"url", "tags", "state", "jobid"}]}:
    // replaces what is known of the station; answers "lease_ms". A station
    // that takes jobs adds "boot", "seq", "jobs" and "wait_ms", and is
    // answered "jobs" and "cancel" (JobQueue::Serve).
    static void OnStationBeat(ComponentMap* components, const QJsonObject& request, QJsonObject& reply);
    // Every station and device, sorted by name and url, the queue in the
    // order it runs and the running jobs.
    static void OnLabState(ComponentMap* components, const QJsonObject& request, QJsonObject& reply);

private:
    LocalModel* m_model = nullptr;
    int m_leaseMs = DefaultLeaseMs;
};
