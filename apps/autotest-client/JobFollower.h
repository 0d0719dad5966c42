#pragma once

#include "apps/autotest-client/JUnitReport.h"
#include "apps/autotest-client/ProgressBar.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

// Follows the jobs that autotest-client starts: asks for their progress and
// verdicts, draws the progress bar, waits for the end of stored-plan jobs and
// reads their records, and gathers every job for the JUnit file and the
// closing summary. It also judges each reply: whether the host rejected a
// request, and what of it the user sees on stdout.
class JobFollower
{
public:
    struct Options
    {
        // Ask for the progress and verdicts of the jobs started (for the bar
        // and the summary), unless their requests say otherwise.
        bool ask = false;
        // Also wait for the end of stored-plan jobs and read their records.
        bool follow = false;
        // Draw the bar on stderr; `redraw` draws it in place (a terminal).
        bool bar = false;
        bool redraw = false;
    };
    // Sends a request of the client's own.
    using Sender = std::function<void(const QString&)>;

    JobFollower(const Options& options, const Sender& send);

    // The message to send instead of `message`, which is being sent now.
    QString Outgoing(const QString& message);

    struct Received
    {
        // It answers a request of the user's (events and the answers to the
        // client's own requests do not).
        bool reply = false;
        // What stdout shows of it; empty for nothing.
        QString print;
    };
    Received Incoming(const QString& message);

    // Something the run must still wait for: a job followed that has no
    // records yet, or a cancelled job that has not reported.
    bool Busy() const;
    // Asks the host to cancel every job started that has not reported (and
    // those whose start is answered from now on); the number asked.
    int Cancel();
    // Writes what is known of the jobs followed whose records never came:
    // their report, or else the cases their progress showed, the rest skipped.
    void GiveUp();

    // The host rejected a request: broken JSON, a "result" other than "ok",
    // or a job that could not start.
    bool Rejected() const { return rejected; }
    // Jobs were followed, and not one of them had a test case.
    bool NoCaseRan() const;
    const JUnitReport& Report() const { return report; }
    // The closing lines: one per job followed, then one per case that failed
    // or ended in error, the job-level verdict last.
    QStringList Summary() const;
    void Log(const QString& text);
    ProgressBar& Bar() { return bar; }

private:
    // A job report of a job that never got to run a case.
    static bool CouldNotStart(const QJsonObject& value);

    struct Job
    {
        bool local = false;
        // The request's "SEQ" (undefined without one), to match replies.
        QJsonValue seq;
        // "ExecuteJob": the request's VALUE.jobid; stored plan: the reply's.
        QJsonValue jobId;
        QJsonValue planId;
        // Its device, so that cancelling it ends no other job of the same id.
        QString url;
        // Events come (someone asked for them); the user asked, so they are
        // printed; verdicts were added by the client, so they are stripped.
        bool events = false;
        bool userEvents = false;
        bool addedVerdicts = false;
        // The start of a stored-plan job is answered, or it was no job.
        bool answered = false;
        bool dropped = false;
        // The run waits for its records; they are written; it reported.
        bool awaited = false;
        bool written = false;
        bool reported = false;
        bool cancelled = false;
        QDateTime sent;
        QElapsedTimer clock;
        qint64 elapsedMs = 0;
        // The cases in order: the request's "case_list", or a stored plan's
        // job details read at its start (title, path, testcaseid).
        QJsonArray cases;
        // The report's "VALUE"; the entries the progress showed, in order.
        QJsonObject report;
        QList<QJsonObject> done;
        int detailTries = 0;
        JUnitReport::JobSummary summary;
    };
    enum class Own { StartDetail, FinalDetail, Cancel };
    struct OwnRequest
    {
        Own kind;
        int job;
    };

    Received OnEvent(const QString& message, const QJsonObject& event);
    QString OnReply(const QString& message, const QJsonObject& reply);
    void OnOwnReply(const OwnRequest& request, const QJsonObject& reply);
    void OnLocalStart(const QJsonObject& reply);
    // The job the report is for, -1 for none.
    int OnJobReply(const QJsonObject& reply);
    void OnLocalReport(int index, const QJsonObject& event);
    void OnProgress(int index, const QJsonObject& event);
    void OnWaiting(const QJsonObject& event);
    void Reject(const QString& why);
    // The job a reply (`event` false: an "ExecuteJob" report) or an event is for; -1 for none.
    int FindJob(const QJsonValue& jobId, const QJsonValue& seq, bool event) const;
    void SendOwn(Own kind, int index, QJsonObject request);
    void AskDetail(int index, Own kind);
    void CancelJob(int index);
    void Written(int index);
    void WriteFromReport(int index);
    QString Title(const Job& job, int at, const QJsonValue& id) const;
    static QString Label(const QJsonValue& jobId);

    Options options;
    Sender send;
    JUnitReport report;
    ProgressBar bar;
    // Context of the retries' timers: they end with the follower.
    QObject timers;
    QList<Job> jobs;
    QHash<QString, OwnRequest> own;
    int ownCount = 0;
    bool rejected = false;
    bool cancelling = false;
};
