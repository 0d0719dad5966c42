#include "apps/autotest-client/JobFollower.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

JobFollower::JobFollower(const Options& options)
    : options(options)
{
}

QString JobFollower::Key(const QJsonValue& jobId) const
{
    return jobId.isDouble() ? QString::number(jobId.toDouble(), 'g', 17) : jobId.toVariant().toString();
}

QString JobFollower::Outgoing(const QString& message)
{
    const QJsonObject request = QJsonDocument::fromJson(message.toUtf8()).object();
    // The host reads "CMD" before "cmd".
    const QString cmd = (request.contains(QStringLiteral("CMD")) ? request.value(QStringLiteral("CMD"))
                                                                  : request.value(QStringLiteral("cmd"))).toString();
    const bool local = cmd == QLatin1String("execute_job_local");
    if (!local && cmd != QLatin1String("ExecuteJob"))
        return message;
    const QJsonObject job = request.value(QStringLiteral("VALUE")).toObject();
    const QJsonArray cases = job.value(QStringLiteral("case_list")).toArray();
    if (!local) {
        const QString key = Key(job.value(QStringLiteral("jobid")));
        caseLists.insert(key, cases);
        started.insert(key, QDateTime::currentDateTime());
    }
    for (const QJsonValue& value : cases) {
        const QJsonObject tc = value.toObject();
        const QString title = tc.value(QStringLiteral("title")).toString(tc.value(QStringLiteral("name")).toString());
        if (!title.isEmpty())
            titles.insert(tc.value(QStringLiteral("testcaseid")).toInt(), title);
    }
    bool asks = request.value(QStringLiteral("progress")) == QJsonValue(true);
    QString out = message;
    if (options.askProgress && !request.contains(QStringLiteral("progress"))) {
        // Written into the text rather than the text written anew, so that
        // the request keeps its "SEQ" as the user wrote it. The object holds
        // a command, so a member follows.
        const int brace = message.indexOf(QLatin1Char('{'));
        out = message.left(brace + 1) + QStringLiteral("\"progress\":true,") + message.mid(brace + 1);
        asks = true;
    }
    if (local) {
        localFlags.append(asks);
        localSent.append(QDateTime::currentDateTime());
    }
    return out;
}

bool JobFollower::Incoming(const QString& message)
{
    const QJsonObject object = QJsonDocument::fromJson(message.toUtf8()).object();
    const QString event = object.value(QStringLiteral("EVENT")).toString();
    if (event == QLatin1String("JobProgress")) {
        OnProgress(object);
        return false;
    }
    EndBar();
    if (event == QLatin1String("JobReport")) {
        const QString key = Key(object.value(QStringLiteral("jobid")));
        awaited.remove(key);
        // A report too large for the host comes without "VALUE", saying so.
        const QJsonObject value = object.contains(QStringLiteral("VALUE"))
            ? object.value(QStringLiteral("VALUE")).toObject()
            : QJsonObject{{QStringLiteral("jobid"), object.value(QStringLiteral("jobid"))},
                          {QStringLiteral("result"), false},
                          {QStringLiteral("remark"), object.value(QStringLiteral("result"))}};
        AddReport(value);
        return false;
    }
    if (!event.isEmpty())
        return false;
    const QJsonObject value = object.value(QStringLiteral("VALUE")).toObject();
    // A job's report, or the failure of a job that found no worker.
    if (value.value(QStringLiteral("tcs")).isArray()
        || (value.contains(QStringLiteral("result")) && value.contains(QStringLiteral("remark")))) {
        AddReport(value);
    } else if (object.contains(QStringLiteral("jobdetail"))) {
        report.AddJobRecords(object);
    } else if (object.value(QStringLiteral("cmd")) == QLatin1String("execute_job_local") && !localFlags.isEmpty()) {
        // Local commands are answered in the order they were sent.
        const bool asked = localFlags.takeFirst();
        const QDateTime sent = localSent.takeFirst();
        if (object.value(QStringLiteral("result")) == QLatin1String("ok"))
            started.insert(Key(object.value(QStringLiteral("jobid"))), sent);
        if (asked && options.awaitLocalReports && object.value(QStringLiteral("result")) == QLatin1String("ok"))
            awaited.insert(Key(object.value(QStringLiteral("jobid"))));
    }
    return true;
}

void JobFollower::AddReport(const QJsonObject& value)
{
    // A later job may have the same id.
    const QString key = Key(value.value(QStringLiteral("jobid")));
    report.AddJobReport(value, caseLists.take(key), started.take(key));
}

void JobFollower::OnProgress(const QJsonObject& event)
{
    if (!options.bar)
        return;
    const QString key = Key(event.value(QStringLiteral("jobid")));
    const int done = event.value(QStringLiteral("done")).toInt();
    const int total = event.value(QStringLiteral("total")).toInt();
    const QJsonObject tc = event.value(QStringLiteral("tc")).toObject();
    const int id = tc.value(QStringLiteral("id")).toInt();
    const QString remark = tc.value(QStringLiteral("remark")).toString();
    const QString verdict = tc.value(QStringLiteral("result")).toBool() ? QStringLiteral("pass")
                                                                        : QStringLiteral("FAIL") + (remark.isEmpty() ? QString() : ": " + remark);
    const int width = 30;
    const int filled = total > 0 ? qBound(0, done * width / total, width) : width;
    const QString line = QStringLiteral("job %1 [%2%3] %4/%5  %6: %7")
                             .arg(key, QString(filled, QLatin1Char('#')), QString(width - filled, QLatin1Char('-')))
                             .arg(done).arg(total)
                             .arg(titles.value(id, QStringLiteral("test case %1").arg(id)), verdict);
    if (options.redraw) {
        std::fprintf(stderr, "\r%s\x1b[K", qPrintable(line));
        barOpen = done < total;
        if (!barOpen)
            std::fputc('\n', stderr);
    } else {
        std::fprintf(stderr, "%s\n", qPrintable(line));
    }
    std::fflush(stderr);
}

void JobFollower::EndBar()
{
    // A job that failed midway leaves its bar short of the end.
    if (barOpen)
        std::fputc('\n', stderr);
    barOpen = false;
}
