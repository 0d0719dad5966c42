#pragma once

#include "server/BeatWaiters.h"
#include "storage/LocalModel.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QSet>
#include <QString>

class ComponentMap;
class ServerJobRunner;

// The lab's queue on one server thread: "queue_job" and "cancel_job", and
// what a station's beat is handed (jobs that fit its free devices, cancels
// of its jobs). Jobs wait in the database, so that every server sharing it
// serves one queue; a job goes to one station because taking it is one
// conditional update (LocalModel::ClaimJob).
class JobQueue
{
public:
    // How many fitting queued jobs, in order, a beat tries for each free
    // device: more than one, as other servers may take some meanwhile.
    static constexpr int Candidates = 8;
    static constexpr int MaxPriority = 1000;
    static constexpr int MaxTags = 50;

    // What a station said in its beat, as far as the queue needs it.
    struct Beat
    {
        QString station;
        QString boot;
        int seq = 0;
        // The jobs the station holds (running, or with a report on its way).
        QSet<int> held;
        QList<LocalModel::DeviceRow> devices;
        int waitMs = 0;
    };
    // What the last request asks of the held beats: the beat to hold (when
    // there was nothing to hand out) and whom to wake.
    struct Outcome
    {
        // The station that beat, empty for any other request.
        QString station;
        bool hold = false;
        int waitMs = 0;
        QList<BeatWaiters::Device> free;
        QList<LabWake> wakes;
    };

    void SetModel(LocalModel* model) { m_model = model; }
    void SetRunner(ServerJobRunner* runner) { m_runner = runner; }
    // Whether the request being answered is a held beat tried again: what
    // it says of the station is stored already.
    void SetRetrying(bool retrying) { m_retrying = retrying; }
    bool Retrying() const { return m_retrying; }

    // Adds to `reply` the beat's "jobs" and "cancel"; false with the reason
    // when the database fails.
    bool Serve(const Beat& beat, QJsonObject& reply, QString& error);
    // A job of `station` ended or is to be cancelled: its held beat may go.
    void WakeStation(const QString& station);
    Outcome TakeOutcome();

    // {"planid", "device" [, "station"] | "tags", "priority"}.
    static void OnQueueJob(ComponentMap* components, const QJsonObject& request, QJsonObject& reply);
    // {"jobid"}: a queued job ends at once, a running one is cancelled by its station.
    static void OnCancelJob(ComponentMap* components, const QJsonObject& request, QJsonObject& reply);

private:
    // Hands `candidate` to `device`, adding it to `jobs`; `taken` is false
    // when another took it first. False with the reason when the database fails.
    bool Hand(DBT_Job candidate, const Beat& beat, const QString& device, QJsonArray& jobs, bool& taken, QString& error);

    LocalModel* m_model = nullptr;
    ServerJobRunner* m_runner = nullptr;
    Outcome m_outcome;
    bool m_retrying = false;
};
