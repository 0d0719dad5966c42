#pragma once

#include "base/ReplyCallback.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

#include <map>

class JobEngine;
class QNetworkReply;
class QTimer;
class WebFileGetter;

// Runs the jobs that a remote test-management server hands back with its
// answer to "execute_job_local", and posts each one's report to that server
// as "job_report". While a job runs, the cases that finished go to the server
// as "job_progress", at least every third of the job's lease (with no case
// when none finished), so that the server can tell a job whose station went
// away from a slow one. Both carry the secret the server handed out with the
// job.
//
// A report that cannot be delivered is posted again after 1 s, then after
// twice the previous wait, up to 5 minutes between tries; every failure is a
// warning in the log. While the server cannot be reached (no answer, an HTTP
// error, a body that is not a JSON object) this goes on for a day. A server
// that answers with a "result" other than "ok" is asked again for 10 minutes
// only: its database may be restarting, but a refusal that lasts (an unknown
// job, one reported already) will not change. Reports waiting to go out are
// held in memory only, at most MaxPendingBytes of them: past that the oldest
// is dropped, with a log line. A host that stops drops them too, and the
// jobs stay "running" on the server.
class RemoteJobs : public QObject
{
    Q_OBJECT

public:
    static constexpr int FirstRetryMs = 1000;
    static constexpr int MaxRetryMs = 5 * 60 * 1000;
    static constexpr qint64 GiveUpMs = 24 * 60 * 60 * 1000;
    static constexpr qint64 GiveUpRefusedMs = 10 * 60 * 1000;
    static constexpr qint64 MaxPendingBytes = 64 * 1024 * 1024;

    // Jobs received go to `engine` to run.
    RemoteJobs(WebFileGetter& transport, JobEngine& engine);
    ~RemoteJobs() override;

    // Takes "job" (when it is an object) out of the server's answer to
    // "execute_job_local" and starts it; its report goes to `url`, the base
    // URL that answered. A client that asked for progress gets `events`: a
    // "JobProgress" per finished test case, then a "JobReport" with the
    // report as it goes to the server. False when the answer carries no job.
    bool TakeJob(QJsonObject& answer, const QString& url, const EventCallback& events = nullptr);

    // The server job ids held here, each once, in order: taken (started or
    // not yet), running, or with a report not yet acknowledged. A station
    // lists them in its beats, so that its server can tell a job handed out
    // in a lost answer from one that runs.
    QList<int> Held() const;
    // The "url" (its device) of the job with this id that has not reported
    // yet; null when there is none.
    QString DeviceOf(int jobId) const;

private:
    // A job that runs here for a server.
    struct Running
    {
        QString url;
        int jobId = 0;
        QString device;
        // False from its taking until the next turn of the event loop.
        bool started = false;
        QString secret;
        int leaseMs = 0;
        // Entries not yet acknowledged by the server, the first at `from`.
        int from = 0;
        QJsonArray pending;
        // Whether the job waits for its device, when the server has not
        // heard it yet: 1, 0, or -1.
        int waiting = -1;
        bool posting = false;
        qint64 lastPostMs = 0;
    };

    struct Delivery
    {
        QString url;
        int jobId = 0;
        QByteArray body;
        qint64 firstTry = 0;
        qint64 firstRefusal = 0;
        int nextDelayMs = FirstRetryMs;
    };

    void Start(quint64 run, QJsonObject job, const EventCallback& events);
    void Deliver(const QString& url, int jobId, const QString& secret, const QJsonObject& report);
    void OnProgress(quint64 run, const QJsonObject& event);
    void PostProgress(quint64 run);
    void Beat();
    void Post(quint64 id);
    // `answer` is the server's object, or null when it could not be reached
    // (`failure` says why).
    void OnAnswer(quint64 id, const QJsonObject* answer, const QString& failure);

    WebFileGetter& transport;
    JobEngine& engine;
    std::map<quint64, Running> m_running;
    quint64 m_nextRun = 1;
    QTimer* m_beat = nullptr;
    // Keyed by arrival, so the first entry is the oldest.
    std::map<quint64, Delivery> m_pending;
    quint64 m_nextId = 1;
    qint64 m_pendingBytes = 0;
};
