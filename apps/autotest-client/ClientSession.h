#pragma once

#include "apps/autotest-client/JobFollower.h"

#include <QNetworkRequest>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QWebSocket>

// One run of autotest-client: connects, sends the requests, prints what the
// user asked for on stdout, follows the jobs it started, writes the JUnit
// file and the summary, and settles the exit status. A time-out or a signal
// first cancels the jobs it started and waits a little for their reports.
class ClientSession : public QObject
{
    Q_OBJECT

public:
    // The exit statuses; a signal gives 128 plus its number.
    enum Status { Passed = 0, TimedOut = 1, NoConnection = 2, Failed = 3, Rejected = 4, NothingRan = 5 };
    // How long cancelled jobs have to report.
    static constexpr int kGraceMs = 5000;

    struct Settings
    {
        QNetworkRequest request;
        QStringList messages;
        // Replies to wait for; events and the client's own do not count.
        qint64 expected = 0;
        // 0 waits for ever.
        qint64 timeoutMs = 0;
        // Empty: no JUnit file.
        QString junitPath;
        bool failOnFailure = false;
        JobFollower::Options follow;
    };

    explicit ClientSession(const Settings& settings);

    void Start();
    // SIGINT or SIGTERM: the first stops as a time-out does, a second at once.
    void Interrupt(int signal);
    bool Done() const { return done; }
    int ExitStatus() const { return status; }

private:
    void OnConnected();
    void OnMessage(const QString& message);
    void OnLost(const QString& why);
    void Stop(int code, const QString& why);
    void CheckDone();
    void Finish();
    int StatusNow() const;

    Settings settings;
    QWebSocket socket;
    JobFollower follower;
    QTimer timeout;
    QTimer grace;
    int received = 0;
    bool stopping = false;
    bool done = false;
    // The connection failed, or closed before the run was over.
    bool lost = false;
    bool writeFailed = false;
    // 1 for the time-out, 128 plus the signal's number for a signal.
    int stopCode = 0;
    int status = 0;
};
