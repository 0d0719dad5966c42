#pragma once

#include "base/ReplyCallback.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

// The job-level verdict a job's record keeps: the report's "result" (unknown
// while the job runs), its remark, and why the job failed as a whole ("" when
// it did not).
struct JobVerdict
{
    enum { Unknown = -1, Failed = 0, Passed = 1 };
    int result = Unknown;
    QString remark;
    QString reason;

    QJsonObject ToJson() const;
    // The verdict of a report's "VALUE": its "verdict" member when it has
    // one, else judged from "result", "remark" and "tcs" as a report without
    // verdicts (an older station) gives them.
    static JobVerdict OfReport(const QJsonObject& value);
    // A job that failed as a whole: its report's remark, and why.
    static JobVerdict Failure(const QString& remark, const QString& reason);

    // Removes what a report or an event carries beyond its plain form: the
    // "verdict" members of the object, of its "VALUE", of every entry of
    // that "tcs" and of its "tc". Clients that did not ask for verdicts see
    // exactly the plain form.
    static void Strip(QJsonObject& object);
    // `events` as a client sees them: with verdicts when it asked for them.
    static EventCallback Filter(const EventCallback& events, bool keep);
    // Only JSON true asks for verdicts.
    static bool Asked(const QJsonObject& request)
    {
        return request.value(QStringLiteral("verdicts")) == QJsonValue(true);
    }
};
