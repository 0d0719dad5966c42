#include "apps/autotest-client/JobFollower.h"

#include "base/JsonText.h"

#include <QJsonDocument>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace {

// `message` as the host writes it when nobody asked for verdicts: without
// them, its "SEQ" still the text that came.
QString withoutVerdicts(const QString& message)
{
    const QByteArray text = message.toUtf8();
    QJsonObject object = QJsonDocument::fromJson(text).object();
    if (!JsonText::StripVerdicts(object))
        return message;
    return QString::fromUtf8(JsonText::WithMemberText(object, QStringLiteral("SEQ"), JsonText::MemberText(text, QStringLiteral("SEQ"))));
}


// The client's own requests carry a "SEQ" of this form; their replies are
// the client's, not the user's.
const QString kOwnSeq = QStringLiteral("autotest-client/%1");

// In remote mode a stored-plan job's report leaves for the server as its
// event leaves for the client, so the records may lag behind the event.
constexpr int kDetailRetryMs = 250;
constexpr int kDetailTries = 20;

QString commandOf(const QJsonObject& request)
{
    // The host reads "CMD" before "cmd".
    return (request.contains(QStringLiteral("CMD")) ? request.value(QStringLiteral("CMD"))
                                                    : request.value(QStringLiteral("cmd"))).toString();
}

QString jsonText(const QJsonValue& value)
{
    return QString::fromUtf8(QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact).mid(1).chopped(1));
}

// A stored-plan job's cases in order, from its job details.
QJsonArray casesOf(const QJsonObject& detailReply)
{
    QList<QJsonObject> details;
    for (const QJsonValue& value : detailReply.value(QStringLiteral("jobdetail")).toArray())
        details.append(value.toObject());
    std::stable_sort(details.begin(), details.end(), [](const QJsonObject& a, const QJsonObject& b) {
        return a.value(QStringLiteral("seqidx")).toDouble() < b.value(QStringLiteral("seqidx")).toDouble();
    });
    QJsonArray cases;
    for (const QJsonObject& detail : qAsConst(details))
        cases.append(QJsonObject{{QStringLiteral("testcaseid"), detail.value(QStringLiteral("testcaseid"))},
                                 {QStringLiteral("title"), detail.value(QStringLiteral("title"))},
                                 {QStringLiteral("path"), detail.value(QStringLiteral("path"))}});
    return cases;
}

// Why a job failed as a whole: its verdict's reason, else its remark.
QString reasonOf(const QJsonObject& value)
{
    const QString reason = value.value(QStringLiteral("verdict"))[QStringLiteral("reason")].toString();
    return reason.isEmpty() ? value.value(QStringLiteral("remark")).toString() : reason;
}

} // namespace

bool JobFollower::CouldNotStart(const QJsonObject& value)
{
    if (value.value(QStringLiteral("result")) != QJsonValue(false))
        return false;
    // No case at all (no worker, no device id), or a whole-job failure
    // before any case ran (no controller, a device that refused).
    const QJsonArray tcs = value.value(QStringLiteral("tcs")).toArray();
    if (tcs.isEmpty())
        return true;
    if (value.value(QStringLiteral("verdict"))[QStringLiteral("reason")].toString().isEmpty())
        return false;
    for (const QJsonValue& entry : tcs) {
        if (entry[QStringLiteral("verdict")][QStringLiteral("status")] != QLatin1String("not run"))
            return false;
    }
    return true;
}

JobFollower::JobFollower(const Options& options, const Sender& send)
    : options(options)
    , send(send)
    , bar(options.redraw)
{
}

QString JobFollower::Label(const QJsonValue& jobId)
{
    if (jobId.isDouble() && std::fabs(jobId.toDouble()) < 9007199254740992.0)
        return QString::number(qint64(jobId.toDouble()));
    if (jobId.isString())
        return jobId.toString();
    return jobId.isUndefined() ? QStringLiteral("?") : jsonText(jobId);
}

void JobFollower::Log(const QString& text)
{
    bar.Print(QStringLiteral("autotest-client: ") + text);
}

QString JobFollower::Outgoing(const QString& message)
{
    const QJsonObject request = QJsonDocument::fromJson(message.toUtf8()).object();
    const QString cmd = commandOf(request);
    const bool local = cmd == QLatin1String("execute_job_local");
    if (!local && cmd != QLatin1String("ExecuteJob"))
        return message;
    Job job;
    job.local = local;
    job.seq = request.value(QStringLiteral("SEQ"));
    job.sent = QDateTime::currentDateTime();
    job.clock.start();
    job.userEvents = request.value(QStringLiteral("progress")) == QJsonValue(true);
    job.events = job.userEvents;
    // Written into the text rather than the text written anew, so that the
    // request keeps its "SEQ" as the user wrote it.
    QStringList added;
    if (options.ask && !request.contains(QStringLiteral("progress"))) {
        added << QStringLiteral("\"progress\":true");
        job.events = true;
    }
    // A run that must know how its jobs end follows them even when the
    // request says it wants no events; they are not shown then.
    bool rewrite = false;
    if (options.ask && request.contains(QStringLiteral("progress")) && !job.userEvents) {
        rewrite = true;
        job.events = true;
    }
    if (options.ask && !request.contains(QStringLiteral("verdicts"))) {
        added << QStringLiteral("\"verdicts\":true");
        job.addedVerdicts = true;
    }
    job.url = request.value(QStringLiteral("url")).toString();
    if (!local) {
        const QJsonObject value = request.value(QStringLiteral("VALUE")).toObject();
        job.url = value.value(QStringLiteral("url")).toString();
        job.jobId = value.value(QStringLiteral("jobid"));
        job.planId = value.value(QStringLiteral("planid"));
        job.cases = value.value(QStringLiteral("case_list")).toArray();
        // Its reply is its report.
        job.awaited = options.ask;
    }
    jobs.append(job);
    if (rewrite) {
        QJsonObject changed = request;
        changed.insert(QStringLiteral("progress"), true);
        if (job.addedVerdicts)
            changed.insert(QStringLiteral("verdicts"), true);
        const QByteArray text = message.toUtf8();
        return QString::fromUtf8(JsonText::WithMemberText(changed, QStringLiteral("SEQ"), JsonText::MemberText(text, QStringLiteral("SEQ"))));
    }
    return JsonText::WithMembers(message, added);
}

JobFollower::Received JobFollower::Incoming(const QString& message)
{
    const QJsonObject object = QJsonDocument::fromJson(message.toUtf8()).object();
    // An event has "EVENT" and no "ERROR".
    if (object.contains(QStringLiteral("EVENT")))
        return OnEvent(message, object);
    const QJsonValue seq = object.value(QStringLiteral("SEQ"));
    if (seq.isString() && own.contains(seq.toString())) {
        OnOwnReply(own.take(seq.toString()), object);
        return {};
    }
    return {true, OnReply(message, object)};
}

void JobFollower::Reject(const QString& why)
{
    rejected = true;
    Log(why);
}

int JobFollower::FindJob(const QJsonValue& jobId, const QJsonValue& seq, bool event) const
{
    // The job with the same id and "SEQ", else the first with the same id.
    // A reply without a job id ("No more worker") is matched by "SEQ" alone.
    int byId = -1;
    int bySeq = -1;
    for (int i = 0; i < jobs.size(); ++i) {
        const Job& job = jobs.at(i);
        // A stored plan not followed still owns its events: those the client
        // asked for are not printed.
        if ((job.dropped && !event) || job.reported || (job.local && !job.answered) || (event ? !job.events : job.local))
            continue;
        const bool sameId = job.jobId == jobId;
        const bool sameSeq = job.seq == seq;
        if (sameId && sameSeq)
            return i;
        if (sameId && byId < 0)
            byId = i;
        if (sameSeq && bySeq < 0)
            bySeq = i;
    }
    if (byId >= 0)
        return byId;
    if (!event)
        return jobId.isUndefined() ? bySeq : -1;
    // In remote mode a job may start waiting for its device before its start
    // is answered: the event belongs to the first stored plan not answered.
    for (int i = 0; i < jobs.size(); ++i) {
        const Job& job = jobs.at(i);
        if (job.local && !job.answered && !job.dropped && job.events)
            return i;
    }
    return -1;
}

JobFollower::Received JobFollower::OnEvent(const QString& message, const QJsonObject& event)
{
    const QString type = event.value(QStringLiteral("EVENT")).toString();
    const int index = FindJob(event.value(QStringLiteral("jobid")), event.value(QStringLiteral("SEQ")), true);
    if (type == QLatin1String("JobProgress"))
        OnProgress(index, event);
    else if (type == QLatin1String("JobWaiting"))
        OnWaiting(event);
    else if (type == QLatin1String("JobReport") && index >= 0)
        OnLocalReport(index, event);
    if (index < 0)
        return {false, message};
    // Events the client asked for itself are its own business.
    const Job& job = jobs.at(index);
    if (!job.userEvents)
        return {};
    return {false, job.addedVerdicts ? withoutVerdicts(message) : message};
}

QString JobFollower::OnReply(const QString& message, const QJsonObject& reply)
{
    if (reply.value(QStringLiteral("ERROR")) == QLatin1String("FAILURE")) {
        Reject(QStringLiteral("the host could not read a request: %1").arg(reply.value(QStringLiteral("ERROR_MESSAGE")).toString()));
        return message;
    }
    const QString cmd = reply.value(QStringLiteral("cmd")).toString();
    const QJsonValue value = reply.value(QStringLiteral("VALUE"));
    const QJsonObject job = value.toObject();
    if (cmd == QLatin1String("execute_job_local")) {
        OnLocalStart(reply);
    } else if (value.isObject()
               && (job.value(QStringLiteral("tcs")).isArray()
                   || (job.contains(QStringLiteral("result")) && job.contains(QStringLiteral("remark"))))) {
        // An "ExecuteJob" report, or the failure of a job that found no worker.
        const int index = OnJobReply(reply);
        if (index >= 0 && jobs.at(index).addedVerdicts)
            return withoutVerdicts(message);
    } else if (reply.contains(QStringLiteral("jobdetail"))) {
        report.AddJobRecords(reply);
    }
    const QJsonValue result = reply.value(QStringLiteral("result"));
    if (!result.isUndefined() && result != QLatin1String("ok"))
        Reject(QStringLiteral("the host refused %1: %2").arg(cmd.isEmpty() ? QStringLiteral("a request") : cmd, jsonText(result)));
    return message;
}

void JobFollower::OnLocalStart(const QJsonObject& reply)
{
    // Local commands are answered in the order they were sent; remote ones
    // may not be, so the same "SEQ" counts first.
    int index = -1;
    for (int i = 0; i < jobs.size(); ++i) {
        const Job& job = jobs.at(i);
        if (!job.local || job.answered)
            continue;
        if (job.seq == reply.value(QStringLiteral("SEQ"))) {
            index = i;
            break;
        }
        if (index < 0)
            index = i;
    }
    if (index < 0)
        return;
    Job& job = jobs[index];
    job.answered = true;
    if (reply.value(QStringLiteral("result")) != QLatin1String("ok")) {
        job.dropped = true;
        return;
    }
    job.jobId = reply.value(QStringLiteral("jobid"));
    job.planId = reply.value(QStringLiteral("planid"));
    // Unfollowed, the job runs on after the client has gone, as it always did.
    if (!options.follow || !job.events) {
        if (options.follow)
            Log(QStringLiteral("job %1 is not followed: its request asks for no progress").arg(Label(job.jobId)));
        job.dropped = true;
        return;
    }
    job.awaited = true;
    // Its cases and their titles, for the bar, and for the file should no
    // report come.
    AskDetail(index, Own::StartDetail);
    if (cancelling)
        CancelJob(index);
}

int JobFollower::OnJobReply(const QJsonObject& reply)
{
    const QJsonObject value = reply.value(QStringLiteral("VALUE")).toObject();
    const QJsonValue jobId = value.value(QStringLiteral("jobid"));
    const int index = FindJob(jobId, reply.value(QStringLiteral("SEQ")), false);
    // A job this client cancelled did not fail to start.
    if (CouldNotStart(value) && (index < 0 || !jobs.at(index).cancelled))
        Reject(QStringLiteral("job %1 could not start: %2").arg(Label(jobId), reasonOf(value)));
    if (index < 0) {
        report.AddJobReport(value, QJsonArray(), QDateTime());
        return index;
    }
    Job& job = jobs[index];
    job.reported = true;
    job.elapsedMs = job.clock.elapsed();
    job.report = value;
    WriteFromReport(index);
    return index;
}

void JobFollower::OnLocalReport(int index, const QJsonObject& event)
{
    Job& job = jobs[index];
    if (!job.local)
        return;
    job.reported = true;
    job.elapsedMs = job.clock.elapsed();
    // A report too large for the host comes without "VALUE", saying so.
    job.report = event.contains(QStringLiteral("VALUE"))
        ? event.value(QStringLiteral("VALUE")).toObject()
        : QJsonObject{{QStringLiteral("jobid"), event.value(QStringLiteral("jobid"))},
                      {QStringLiteral("result"), false},
                      {QStringLiteral("remark"), event.value(QStringLiteral("result"))}};
    if (event.contains(QStringLiteral("VALUE")) && !job.cancelled && CouldNotStart(job.report))
        Reject(QStringLiteral("job %1 could not start: %2").arg(Label(job.jobId), reasonOf(job.report)));
    if (!job.awaited || job.written)
        return;
    if (event.value(QStringLiteral("recorded")) == QJsonValue(false)) {
        Log(QStringLiteral("job %1: the host did not record its results; written from its report").arg(Label(job.jobId)));
        WriteFromReport(index);
        return;
    }
    // The file is written from the stored records, as the console writes it.
    AskDetail(index, Own::FinalDetail);
}

void JobFollower::OnOwnReply(const OwnRequest& request, const QJsonObject& reply)
{
    Job& job = jobs[request.job];
    const bool ok = reply.value(QStringLiteral("result")) == QLatin1String("ok") && reply.value(QStringLiteral("jobdetail")).isArray();
    switch (request.kind) {
    case Own::Cancel:
        // The job's report says how it ended.
        return;
    case Own::StartDetail:
        if (ok)
            job.cases = casesOf(reply);
        return;
    case Own::FinalDetail:
        break;
    }
    if (job.written)
        return;
    // A host without verdicts marks a finished job by its status alone.
    const QJsonObject record = reply.value(QStringLiteral("job")).toObject();
    const QJsonValue verdict = record.value(QStringLiteral("verdict"));
    const bool over = verdict.isObject() ? verdict.toObject().value(QStringLiteral("result")).isBool()
                                         : record.value(QStringLiteral("status")) == QJsonValue(3);
    if (ok && over) {
        report.AddJobRecords(reply);
        Written(request.job);
        return;
    }
    if (ok && ++job.detailTries < kDetailTries) {
        const int index = request.job;
        QTimer::singleShot(kDetailRetryMs, &timers, [this, index] {
            if (!jobs.at(index).written)
                AskDetail(index, Own::FinalDetail);
        });
        return;
    }
    Log(QStringLiteral("job %1: its records could not be read (%2); written from its report")
            .arg(Label(job.jobId), ok ? QStringLiteral("still running") : jsonText(reply.value(QStringLiteral("result")))));
    WriteFromReport(request.job);
}

void JobFollower::OnProgress(int index, const QJsonObject& event)
{
    const int done = event.value(QStringLiteral("done")).toInt();
    const int total = event.value(QStringLiteral("total")).toInt();
    const QJsonObject tc = event.value(QStringLiteral("tc")).toObject();
    const QJsonValue verdictValue = event.value(QStringLiteral("verdict"));
    QString title = QStringLiteral("test case %1").arg(Label(tc.value(QStringLiteral("id"))));
    if (index >= 0) {
        Job& job = jobs[index];
        QJsonObject entry = tc;
        if (verdictValue.isObject())
            entry.insert(QStringLiteral("verdict"), verdictValue);
        if (done >= 1 && done <= total) {
            while (job.done.size() < done)
                job.done.append(QJsonObject());
            job.done[done - 1] = entry;
        }
        title = Title(job, done - 1, tc.value(QStringLiteral("id")));
    }
    if (!options.bar)
        return;
    // Without verdicts (an older host) the plain result says what it can.
    const QJsonObject verdict = verdictValue.toObject();
    const bool judged = verdict.contains(QStringLiteral("status"));
    const QString status = judged ? verdict.value(QStringLiteral("status")).toString()
                                  : tc.value(QStringLiteral("result")).toBool() ? QStringLiteral("pass") : QStringLiteral("fail");
    const QString remark = (judged ? verdict : tc).value(QStringLiteral("remark")).toString();
    const bool failed = status == QLatin1String("fail");
    const bool error = !failed && status != QLatin1String("pass");
    const int width = 30;
    const int filled = total > 0 ? qBound(0, done * width / total, width) : width;
    const QString key = Label(event.value(QStringLiteral("jobid")));
    bar.Show(QStringLiteral("job %1 [%2%3] %4/%5  %6: %7")
                 .arg(key, QString(filled, QLatin1Char('#')), QString(width - filled, QLatin1Char('-')))
                 .arg(done)
                 .arg(total)
                 .arg(title, failed ? QStringLiteral("FAIL") : error ? QStringLiteral("ERROR") : QStringLiteral("pass")));
    // A failure stays on screen above the bar.
    if (failed || error)
        bar.Print(QStringLiteral("job %1 %2 %3: %4")
                      .arg(key, failed ? QStringLiteral("FAILED") : QStringLiteral("ERROR"), title,
                           remark.isEmpty() ? (failed ? QStringLiteral("failed") : QStringLiteral("error")) : remark.simplified()));
    if (done >= total)
        bar.Close();
}

void JobFollower::OnWaiting(const QJsonObject& event)
{
    if (!options.bar)
        return;
    bar.Show(QStringLiteral("job %1 waits for device %2, %3 job(s) ahead")
                 .arg(Label(event.value(QStringLiteral("jobid"))), event.value(QStringLiteral("device")).toString())
                 .arg(event.value(QStringLiteral("ahead")).toInt()));
}

QString JobFollower::Title(const Job& job, int at, const QJsonValue& id) const
{
    const QJsonObject tc = at >= 0 && at < job.cases.size() ? job.cases.at(at).toObject() : QJsonObject();
    const QString title = tc.value(QStringLiteral("title")).toString(tc.value(QStringLiteral("name")).toString());
    return title.isEmpty() ? QStringLiteral("test case %1").arg(Label(id)) : title;
}

void JobFollower::SendOwn(Own kind, int index, QJsonObject request)
{
    const QString seq = kOwnSeq.arg(++ownCount);
    request.insert(QStringLiteral("SEQ"), seq);
    own.insert(seq, {kind, index});
    send(QString::fromUtf8(QJsonDocument(request).toJson(QJsonDocument::Compact)));
}

void JobFollower::AskDetail(int index, Own kind)
{
    SendOwn(kind, index, {{QStringLiteral("CMD"), QStringLiteral("job_detail")},
                          {QStringLiteral("jobid"), jobs.at(index).jobId},
                          {QStringLiteral("verdicts"), true}});
}

int JobFollower::Cancel()
{
    cancelling = true;
    int count = 0;
    for (int i = 0; i < jobs.size(); ++i) {
        const Job& job = jobs.at(i);
        // A stored plan not yet answered is cancelled once it is.
        if (job.dropped || job.reported || job.cancelled || (job.local && !job.answered))
            continue;
        CancelJob(i);
        count += jobs.at(i).cancelled ? 1 : 0;
    }
    return count;
}

void JobFollower::CancelJob(int index)
{
    Job& job = jobs[index];
    if (job.jobId.isUndefined() || job.jobId.isNull())
        return;
    job.cancelled = true;
    Log(QStringLiteral("cancelling job %1").arg(Label(job.jobId)));
    // Job ids are the client's own for "ExecuteJob": the device keeps the
    // cancel to the job this client started.
    QJsonObject cancel{{QStringLiteral("CMD"), QStringLiteral("CancelJob")}, {QStringLiteral("jobid"), job.jobId}};
    if (!job.url.isEmpty())
        cancel.insert(QStringLiteral("url"), job.url);
    SendOwn(Own::Cancel, index, cancel);
}

bool JobFollower::Busy() const
{
    for (const Job& job : jobs) {
        if (job.dropped)
            continue;
        if ((job.awaited && !job.written) || (job.cancelled && !job.reported))
            return true;
        // A stored plan's start, to follow (or cancel) once it is answered.
        if (job.local && !job.answered && options.follow && job.events)
            return true;
    }
    return false;
}

void JobFollower::WriteFromReport(int index)
{
    const Job& job = jobs.at(index);
    report.AddJobReport(job.report, job.cases, job.sent);
    Written(index);
}

void JobFollower::Written(int index)
{
    Job& job = jobs[index];
    job.written = true;
    job.summary = report.LastJob();
}

void JobFollower::GiveUp()
{
    for (int i = 0; i < jobs.size(); ++i) {
        Job& job = jobs[i];
        if (job.dropped || !job.awaited || job.written)
            continue;
        if (job.reported) {
            WriteFromReport(i);
            continue;
        }
        job.elapsedMs = job.clock.elapsed();
        // The cases the progress showed finished; the job-level verdict is unknown.
        QJsonArray tcs;
        for (const QJsonObject& entry : qAsConst(job.done)) {
            if (entry.isEmpty())
                break;
            tcs.append(entry);
        }
        job.report = {{QStringLiteral("jobid"), job.jobId},
                      {QStringLiteral("planid"), job.planId},
                      {QStringLiteral("tcs"), tcs},
                      {QStringLiteral("verdict"), QJsonObject{{QStringLiteral("result"), QJsonValue::Null},
                                                               {QStringLiteral("remark"), QString()},
                                                               {QStringLiteral("reason"), QString()}}}};
        Log(QStringLiteral("job %1 sent no report; written from its progress").arg(Label(job.jobId)));
        WriteFromReport(i);
    }
}

bool JobFollower::NoCaseRan() const
{
    bool any = false;
    for (const Job& job : jobs) {
        if (job.dropped || !job.awaited || !job.written)
            continue;
        any = true;
        const JUnitReport::JobSummary& summary = job.summary;
        // The job-level verdict is one case of its own.
        if (summary.passed + summary.failed + summary.errors + summary.skipped > 1)
            return false;
    }
    return any;
}

QStringList JobFollower::Summary() const
{
    QStringList lines;
    for (const Job& job : jobs) {
        if (job.dropped || !job.awaited || !job.written)
            continue;
        const JUnitReport::JobSummary& summary = job.summary;
        int passed = summary.passed;
        int failed = summary.failed;
        int errors = summary.errors;
        int skipped = summary.skipped;
        // The job-level verdict is told on a line of its own.
        const QString jobStatus = summary.jobStatus;
        (jobStatus == QLatin1String("pass") ? passed : jobStatus == QLatin1String("fail") ? failed
                                                     : jobStatus == QLatin1String("error") ? errors : skipped) -= 1;
        const QString seconds = QString::number(double(job.elapsedMs) / 1000.0, 'f', 1);
        const QString id = summary.jobId.isEmpty() ? Label(job.jobId) : summary.jobId;
        if (passed + failed + errors + skipped == 0) {
            lines << QStringLiteral("job %1: no test case ran in %2 s").arg(id, seconds);
        } else {
            QString counts = QStringLiteral("%1 passed, %2 failed, %3 %4").arg(passed).arg(failed).arg(errors)
                                 .arg(errors == 1 ? QStringLiteral("error") : QStringLiteral("errors"));
            if (skipped > 0)
                counts += QStringLiteral(", %1 skipped").arg(skipped);
            lines << QStringLiteral("job %1: %2 in %3 s").arg(id, counts, seconds);
        }
        for (const JUnitReport::Problem& problem : summary.problems)
            lines << QStringLiteral("  %1 %2: %3")
                         .arg(problem.error ? QStringLiteral("ERROR") : QStringLiteral("FAILED"), problem.name, problem.message.simplified());
    }
    return lines;
}
