#pragma once

#include "apps/autotest-client/JUnitReport.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

// Follows the jobs that autotest-client starts: asks for their progress
// events, draws a progress bar from them, and gathers every job report that
// passes by for the JUnit file.
class JobFollower
{
public:
    struct Options
    {
        // Add "progress": true to job requests that do not say otherwise.
        bool askProgress = false;
        // Draw the bar on stderr; `redraw` draws it in place (a terminal).
        bool bar = false;
        bool redraw = false;
        // Wait for the report of every stored-plan job started.
        bool awaitLocalReports = false;
    };

    explicit JobFollower(const Options& options);

    // The message to send instead of `message`.
    QString Outgoing(const QString& message);
    // Takes one message from the host; false when it is an event, which
    // answers no request.
    bool Incoming(const QString& message);
    // Events are printed unless the client asked for them itself.
    bool PrintEvents() const { return !options.askProgress; }
    // Stored-plan jobs started whose report has not come yet.
    bool Waiting() const { return !awaited.isEmpty(); }
    const JUnitReport& Report() const { return report; }

private:
    void OnProgress(const QJsonObject& event);
    void EndBar();
    void AddReport(const QJsonObject& value);
    QString Key(const QJsonValue& jobId) const;

    Options options;
    JUnitReport report;
    bool barOpen = false;
    // Titles of the test cases of the jobs sent, by test case id.
    QHash<int, QString> titles;
    // Per job sent: its request's "case_list" and when it was sent.
    QHash<QString, QJsonArray> caseLists;
    QHash<QString, QDateTime> started;
    // Whether each "execute_job_local" sent asked for progress, and when it
    // was sent, in order: its reply says which job to wait for.
    QList<bool> localFlags;
    QList<QDateTime> localSent;
    QSet<QString> awaited;
};
