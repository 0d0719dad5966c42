#include "apps/autotest-client/JUnitReport.h"

#include <QJsonArray>
#include <QSaveFile>
#include <QXmlStreamWriter>

#include <algorithm>

namespace {

// Remarks carry what scripts threw, and XML 1.0 has no place for most control
// characters: Qt's writer drops them without a trace (and flags an error), so
// they are marked with a replacement character instead.
QString xmlText(const QString& text)
{
    QString clean;
    clean.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            clean.append(c).append(text.at(++i));
            continue;
        }
        const ushort u = c.unicode();
        const bool allowed = u == 0x9 || u == 0xA || u == 0xD || (u >= 0x20 && u < 0xD800) || (u >= 0xE000 && u < 0xFFFE);
        clean.append(allowed ? c : QChar(0xFFFD));
    }
    return clean;
}

QString idText(const QJsonValue& id)
{
    return id.isDouble() ? QString::number(id.toDouble(), 'g', 17) : id.toVariant().toString();
}

QString secondsText(double seconds)
{
    return QString::number(seconds, 'f', 3);
}

} // namespace

JUnitReport::Case JUnitReport::Judge(bool passed, const QString& remark)
{
    Case tc;
    if (passed)
        return tc;
    tc.message = remark;
    // These remarks say the case got no verdict of its own.
    if (remark == QLatin1String("Fatal Error") || remark == QLatin1String("Cancelled") || remark == QLatin1String("job fail")) {
        tc.outcome = Outcome::Error;
    } else if (remark == QLatin1String("not run") || remark == QLatin1String("running")) {
        tc.outcome = Outcome::Skipped;
    } else {
        tc.outcome = Outcome::Failed;
        if (remark.isEmpty())
            tc.message = QStringLiteral("failed");
    }
    return tc;
}

void JUnitReport::AddJobReport(const QJsonObject& report, const QHash<int, QString>& titles, const QList<double>& seconds)
{
    Suite suite;
    const QString jobId = idText(report.value(QStringLiteral("jobid")));
    const QString planId = idText(report.value(QStringLiteral("planid")));
    const bool jobPassed = report.value(QStringLiteral("result")).toBool();
    const QString remark = report.value(QStringLiteral("remark")).toString();
    suite.name = QStringLiteral("job %1").arg(jobId);
    suite.classname = QStringLiteral("autotest.plan%1").arg(planId);
    suite.timestamp = QDateTime::currentDateTime();
    suite.properties = {{QStringLiteral("jobid"), jobId}, {QStringLiteral("planid"), planId},
                        {QStringLiteral("result"), jobPassed ? QStringLiteral("true") : QStringLiteral("false")},
                        {QStringLiteral("remark"), remark}};

    const QJsonArray tcs = report.value(QStringLiteral("tcs")).toArray();
    bool fatal = false;
    for (int i = 0; i < tcs.size(); ++i) {
        const QJsonObject entry = tcs.at(i).toObject();
        const int id = entry.value(QStringLiteral("id")).toInt();
        Case tc = Judge(entry.value(QStringLiteral("result")).toBool(), entry.value(QStringLiteral("remark")).toString());
        const QString title = entry.value(QStringLiteral("title")).toString(titles.value(id));
        tc.name = title.isEmpty() ? QStringLiteral("test case %1").arg(id) : title;
        tc.seconds = seconds.value(i);
        suite.seconds += tc.seconds;
        if (tc.outcome == Outcome::Error) {
            // The case's own remark says only that the job failed; the job's says why.
            tc.text = remark;
            fatal = true;
        }
        suite.cases.append(tc);
    }
    // The job's own verdict is a check of its own: the job-level script, or
    // a job that failed before it had any test case.
    if (tcs.isEmpty() && !jobPassed) {
        Case job;
        job.name = QStringLiteral("job");
        job.outcome = Outcome::Error;
        job.message = remark;
        suite.cases.append(job);
    } else if (!fatal && remark != QLatin1String("No Script to Exec")) {
        Case script = Judge(jobPassed, remark.isEmpty() ? QStringLiteral("job-level script returned false") : remark);
        script.name = QStringLiteral("job-level script");
        suite.cases.append(script);
    }
    if (!remark.isEmpty())
        suite.output = QStringLiteral("job %1: %2\n").arg(jobId, remark);
    // The report arrives as the job ends.
    suite.timestamp = suite.timestamp.addMSecs(-qint64(suite.seconds * 1000));
    suites.append(suite);
}

void JUnitReport::AddJobDetail(const QJsonObject& reply)
{
    const QJsonValue details = reply.value(QStringLiteral("jobdetail"));
    if (!details.isArray())
        return;
    const QJsonObject job = reply.value(QStringLiteral("job")).toObject();
    const QString jobId = idText(job.value(QStringLiteral("jobid")));
    const QString planId = idText(job.value(QStringLiteral("planid")));
    Suite suite;
    suite.name = QStringLiteral("job %1").arg(jobId);
    suite.classname = QStringLiteral("autotest.plan%1").arg(planId);
    const QString format = QStringLiteral("yyyy-MM-dd hh:mm:ss");
    suite.timestamp = QDateTime::fromString(job.value(QStringLiteral("stime")).toString(), format);
    const QDateTime end = QDateTime::fromString(job.value(QStringLiteral("ftime")).toString(), format);
    if (suite.timestamp.isValid() && end.isValid() && end >= suite.timestamp)
        suite.seconds = suite.timestamp.secsTo(end);
    suite.properties = {{QStringLiteral("jobid"), jobId}, {QStringLiteral("planid"), planId},
                        {QStringLiteral("status"), idText(job.value(QStringLiteral("status")))},
                        {QStringLiteral("starter"), job.value(QStringLiteral("starter")).toString()}};
    for (const QJsonValue& value : details.toArray()) {
        const QJsonObject detail = value.toObject();
        const QString status = detail.value(QStringLiteral("status")).toString();
        // A detail shows its test case's "content" in place of its own
        // remark; only a detail whose test case is gone still has it.
        const QString remark = detail.contains(QStringLiteral("testcaseid")) ? QString()
                                                                            : detail.value(QStringLiteral("content")).toString();
        Case tc = Judge(status == QLatin1String("pass"), status == QLatin1String("running") ? status : remark);
        const QString title = detail.value(QStringLiteral("title")).toString();
        tc.name = title.isEmpty() ? QStringLiteral("test case %1").arg(idText(detail.value(QStringLiteral("testcaseid")))) : title;
        suite.cases.append(tc);
    }
    suites.append(suite);
}

int JUnitReport::Suite::Count(Outcome outcome) const
{
    return int(std::count_if(cases.cbegin(), cases.cend(), [outcome](const Case& tc) { return tc.outcome == outcome; }));
}

bool JUnitReport::AnyFailed() const
{
    for (const Suite& suite : suites) {
        if (suite.Count(Outcome::Failed) > 0 || suite.Count(Outcome::Error) > 0)
            return true;
        for (const auto& property : suite.properties) {
            if (property.first == QLatin1String("result") && property.second == QLatin1String("false"))
                return true;
        }
    }
    return false;
}

QByteArray JUnitReport::ToXml() const
{
    QByteArray xml;
    QXmlStreamWriter out(&xml);
    out.setAutoFormatting(true);
    out.writeStartDocument();
    int tests = 0, failures = 0, errors = 0, skipped = 0;
    double seconds = 0;
    for (const Suite& suite : suites) {
        tests += suite.cases.size();
        failures += suite.Count(Outcome::Failed);
        errors += suite.Count(Outcome::Error);
        skipped += suite.Count(Outcome::Skipped);
        seconds += suite.seconds;
    }
    out.writeStartElement(QStringLiteral("testsuites"));
    out.writeAttribute(QStringLiteral("name"), QStringLiteral("autotest"));
    out.writeAttribute(QStringLiteral("tests"), QString::number(tests));
    out.writeAttribute(QStringLiteral("failures"), QString::number(failures));
    out.writeAttribute(QStringLiteral("errors"), QString::number(errors));
    out.writeAttribute(QStringLiteral("skipped"), QString::number(skipped));
    out.writeAttribute(QStringLiteral("time"), secondsText(seconds));
    for (int i = 0; i < suites.size(); ++i) {
        const Suite& suite = suites.at(i);
        out.writeStartElement(QStringLiteral("testsuite"));
        out.writeAttribute(QStringLiteral("name"), xmlText(suite.name));
        out.writeAttribute(QStringLiteral("id"), QString::number(i));
        out.writeAttribute(QStringLiteral("package"), xmlText(suite.classname));
        out.writeAttribute(QStringLiteral("tests"), QString::number(suite.cases.size()));
        out.writeAttribute(QStringLiteral("failures"), QString::number(suite.Count(Outcome::Failed)));
        out.writeAttribute(QStringLiteral("errors"), QString::number(suite.Count(Outcome::Error)));
        out.writeAttribute(QStringLiteral("skipped"), QString::number(suite.Count(Outcome::Skipped)));
        out.writeAttribute(QStringLiteral("time"), secondsText(suite.seconds));
        if (suite.timestamp.isValid())
            out.writeAttribute(QStringLiteral("timestamp"), suite.timestamp.toString(QStringLiteral("yyyy-MM-ddThh:mm:ss")));
        out.writeStartElement(QStringLiteral("properties"));
        for (const auto& property : suite.properties) {
            out.writeEmptyElement(QStringLiteral("property"));
            out.writeAttribute(QStringLiteral("name"), property.first);
            out.writeAttribute(QStringLiteral("value"), xmlText(property.second));
        }
        out.writeEndElement();
        for (const Case& tc : suite.cases) {
            out.writeStartElement(QStringLiteral("testcase"));
            out.writeAttribute(QStringLiteral("name"), xmlText(tc.name));
            out.writeAttribute(QStringLiteral("classname"), xmlText(suite.classname));
            out.writeAttribute(QStringLiteral("time"), secondsText(tc.seconds));
            if (tc.outcome != Outcome::Passed) {
                static const char* const tags[] = {"", "failure", "error", "skipped"};
                out.writeStartElement(QLatin1String(tags[int(tc.outcome)]));
                out.writeAttribute(QStringLiteral("message"), xmlText(tc.message));
                if (tc.outcome != Outcome::Skipped) {
                    out.writeAttribute(QStringLiteral("type"), tc.outcome == Outcome::Error ? QStringLiteral("error") : QStringLiteral("failure"));
                    out.writeCharacters(xmlText(tc.text.isEmpty() ? tc.message : tc.text));
                }
                out.writeEndElement();
            }
            out.writeEndElement();
        }
        if (!suite.output.isEmpty())
            out.writeTextElement(QStringLiteral("system-out"), xmlText(suite.output));
        out.writeEndElement();
    }
    out.writeEndElement();
    out.writeEndDocument();
    return xml;
}

bool JUnitReport::Write(const QString& path, QString& errorText) const
{
    // A CI step that reads the file never sees half of it.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(ToXml()) < 0 || !file.commit()) {
        errorText = file.errorString();
        return false;
    }
    return true;
}
