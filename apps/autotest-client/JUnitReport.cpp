#include "apps/autotest-client/JUnitReport.h"

#include <QPair>
#include <QSaveFile>
#include <QStringList>

#include <algorithm>
#include <cmath>

namespace {

// Beyond this a double no longer holds every integer, and JavaScript, which
// writes the same file, would print it differently.
constexpr double kMaxExact = 9007199254740991.0;

// The same in attributes and text, except for the white space an attribute
// would normalise. Remarks carry what scripts threw: characters XML 1.0 has no
// place for are marked with U+FFFD rather than dropped.
QString escaped(const QString& text, bool attribute)
{
    QString out;
    out.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            out.append(c).append(text.at(++i));
            continue;
        }
        switch (c.unicode()) {
        case '&': out.append(QLatin1String("&amp;")); break;
        case '<': out.append(QLatin1String("&lt;")); break;
        case '>': out.append(QLatin1String("&gt;")); break;
        case '"': out.append(QLatin1String("&quot;")); break;
        case '\'': out.append(QLatin1String("&apos;")); break;
        case '\t': out.append(attribute ? QLatin1String("&#9;") : QLatin1String("\t")); break;
        case '\n': out.append(attribute ? QLatin1String("&#10;") : QLatin1String("\n")); break;
        case '\r': out.append(QLatin1String("&#13;")); break;
        default: {
            const ushort u = c.unicode();
            out.append(u < 0x20 || u == 0xFFFE || u == 0xFFFF || c.isSurrogate() ? QChar(0xFFFD) : c);
        }
        }
    }
    return out;
}

QString attr(const QString& text)
{
    return escaped(text, true);
}

// Ids as integers; anything that is not a number is left empty.
QString integerText(const QJsonValue& value)
{
    if (!value.isDouble())
        return QString();
    const double n = std::trunc(value.toDouble());
    return std::fabs(n) <= kMaxExact ? QString::number(qint64(n)) : QString();
}

// A case's time; -1 when it is not known.
qint64 msOf(const QJsonValue& value)
{
    if (!value.isDouble())
        return -1;
    const double n = std::trunc(value.toDouble());
    return n >= 0 && n <= kMaxExact ? qint64(n) : -1;
}

// Written from the integer, so both writers agree to the digit.
QString secondsText(qint64 ms)
{
    return QStringLiteral("%1.%2").arg(ms / 1000).arg(ms % 1000, 3, 10, QLatin1Char('0'));
}

QString classnameOf(const QString& path)
{
    const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    return parts.isEmpty() ? QStringLiteral("autotest") : parts.join(QLatin1Char('.'));
}

// How an older station's report, one without verdicts, is judged.
QString plainStatus(bool passed, const QString& remark)
{
    if (passed)
        return QStringLiteral("pass");
    static const char* const errors[] = {"Script Exception", "Script is not callable", "Set Data Ack",
                                         "Fail to Convert id data to name data"};
    if (remark == QLatin1String("Fatal Error") || remark == QLatin1String("Cancelled"))
        return QStringLiteral("error");
    for (const char* prefix : errors) {
        if (remark.startsWith(QLatin1String(prefix)))
            return QStringLiteral("error");
    }
    return QStringLiteral("fail");
}

QJsonObject recordsOfReport(const QJsonObject& value, const QJsonArray& caseList, const QDateTime& started)
{
    const QJsonArray tcs = value.value(QStringLiteral("tcs")).toArray();
    const bool passed = value.value(QStringLiteral("result")).toBool();
    const QString remark = value.value(QStringLiteral("remark")).toString();
    QJsonObject verdict = value.value(QStringLiteral("verdict")).toObject();
    if (!value.value(QStringLiteral("verdict")).isObject()) {
        // An older station marks every case of a job that failed as a whole
        // with one of these; the job's remark then says why.
        const bool whole = std::any_of(tcs.begin(), tcs.end(), [](const QJsonValue& entry) {
            const QJsonValue caseRemark = entry.toObject().value(QStringLiteral("remark"));
            return caseRemark == QLatin1String("Fatal Error") || caseRemark == QLatin1String("Cancelled");
        });
        verdict = {{QStringLiteral("result"), passed},
                   {QStringLiteral("remark"), remark},
                   {QStringLiteral("reason"), whole && !passed ? remark : QString()}};
    }
    const QString reason = verdict.value(QStringLiteral("reason")).toString();

    QJsonArray details;
    const int count = std::max(caseList.size(), tcs.size());
    for (int i = 0; i < count; ++i) {
        const QJsonObject tc = i < caseList.size() ? caseList.at(i).toObject() : QJsonObject();
        const QJsonObject entry = i < tcs.size() ? tcs.at(i).toObject() : QJsonObject();
        // The request names the cases; a stored plan's report names them itself.
        const auto text = [&](const QString& key) {
            const QString own = tc.value(key).toString();
            return own.isEmpty() ? entry.value(key).toString() : own;
        };
        QJsonObject caseVerdict;
        if (entry.value(QStringLiteral("verdict")).isObject()) {
            caseVerdict = entry.value(QStringLiteral("verdict")).toObject();
        } else if (i >= tcs.size()) {
            // The report comes at the job's end: what it leaves out never ran.
            caseVerdict = {{QStringLiteral("status"), QStringLiteral("not run")}, {QStringLiteral("remark"), QString()},
                           {QStringLiteral("ms"), -1}};
        } else {
            const QString caseRemark = entry.value(QStringLiteral("remark")).toString();
            const bool whole = caseRemark == QLatin1String("Fatal Error") || caseRemark == QLatin1String("Cancelled");
            caseVerdict = {{QStringLiteral("status"), plainStatus(entry.value(QStringLiteral("result")).toBool(), caseRemark)},
                           {QStringLiteral("remark"), whole && !reason.isEmpty() ? reason : caseRemark},
                           {QStringLiteral("ms"), -1}};
        }
        details.append(QJsonObject{
            {QStringLiteral("seqidx"), i},
            {QStringLiteral("status"), entry.value(QStringLiteral("result")) == QJsonValue(true) ? QStringLiteral("pass") : QStringLiteral("fail")},
            {QStringLiteral("testcaseid"), tc.contains(QStringLiteral("testcaseid")) ? tc.value(QStringLiteral("testcaseid"))
                                                                                     : entry.value(QStringLiteral("id"))},
            {QStringLiteral("title"), text(QStringLiteral("title"))},
            {QStringLiteral("path"), text(QStringLiteral("path"))},
            {QStringLiteral("verdict"), caseVerdict}});
    }
    const QJsonObject job{{QStringLiteral("jobid"), value.value(QStringLiteral("jobid"))},
                          {QStringLiteral("planid"), value.value(QStringLiteral("planid"))},
                          {QStringLiteral("total"), count},
                          {QStringLiteral("fin"), tcs.size()},
                          {QStringLiteral("status"), 3},
                          {QStringLiteral("starter"), QString()},
                          {QStringLiteral("stime"), started.isValid() ? started.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")) : QString()},
                          {QStringLiteral("ftime"), QString()},
                          {QStringLiteral("verdict"), verdict}};
    return {{QStringLiteral("job"), job}, {QStringLiteral("jobdetail"), details}};
}

} // namespace

bool JUnitReport::AddJobRecords(const QJsonObject& reply)
{
    const QJsonValue detailsValue = reply.value(QStringLiteral("jobdetail"));
    if (!detailsValue.isArray())
        return false;
    const QJsonObject job = reply.value(QStringLiteral("job")).toObject();
    // A host without verdicts: the cases' plain status, and a finished job
    // passes as a job, its cases telling what failed.
    const QJsonValue jobVerdict = job.value(QStringLiteral("verdict"));
    const QJsonObject verdict = jobVerdict.isObject() ? jobVerdict.toObject()
        : QJsonObject{{QStringLiteral("result"), job.value(QStringLiteral("status")) == QJsonValue(3) ? QJsonValue(true) : QJsonValue()}};
    const QJsonValue resultValue = verdict.value(QStringLiteral("result"));
    const QString result = resultValue.isBool() ? (resultValue.toBool() ? QStringLiteral("true") : QStringLiteral("false")) : QString();
    const QString remark = verdict.value(QStringLiteral("remark")).toString();
    const QString reason = verdict.value(QStringLiteral("reason")).toString();

    struct Detail
    {
        double order;
        QJsonObject record;
    };
    QList<Detail> details;
    const QJsonArray detailArray = detailsValue.toArray();
    for (int i = 0; i < detailArray.size(); ++i) {
        const QJsonObject record = detailArray.at(i).toObject();
        const QJsonValue seq = record.value(QStringLiteral("seqidx"));
        details.append({seq.isDouble() ? seq.toDouble() : double(i), record});
    }
    std::stable_sort(details.begin(), details.end(), [](const Detail& a, const Detail& b) { return a.order < b.order; });

    Suite suite;
    JobSummary& summary = suite.summary;
    summary.jobId = integerText(job.value(QStringLiteral("jobid")));
    QString cases;
    const auto addCase = [&](const QString& name, const QString& classname, qint64 ms, const QString& status, const QString& message) {
        cases += QStringLiteral("    <testcase name=\"%1\" classname=\"%2\" time=\"%3\"")
                     .arg(attr(name), attr(classname), secondsText(std::max<qint64>(ms, 0)));
        summary.ms += std::max<qint64>(ms, 0);
        if (status == QLatin1String("pass")) {
            cases += QLatin1String("/>\n");
            ++summary.passed;
            return;
        }
        if (status == QLatin1String("not run") || status == QLatin1String("running")) {
            cases += QStringLiteral(">\n      <skipped message=\"%1\"/>\n    </testcase>\n").arg(status);
            ++summary.skipped;
            return;
        }
        const bool error = status != QLatin1String("fail");
        const QString tag = error ? QStringLiteral("error") : QStringLiteral("failure");
        cases += QStringLiteral(">\n      <%1 message=\"%2\" type=\"%3\">%4</%1>\n    </testcase>\n")
                     .arg(tag, attr(message), error ? QStringLiteral("error") : QStringLiteral("failure"), escaped(message, false));
        ++(error ? summary.errors : summary.failed);
        summary.problems.append({name, error, message});
    };

    for (const Detail& detail : details) {
        const QJsonObject& record = detail.record;
        const QJsonValue caseVerdictValue = record.value(QStringLiteral("verdict"));
        const QJsonObject caseVerdict = caseVerdictValue.isObject() ? caseVerdictValue.toObject()
            : QJsonObject{{QStringLiteral("status"), record.value(QStringLiteral("status"))}};
        const QString status = caseVerdict.value(QStringLiteral("status")).toString();
        const QString caseRemark = caseVerdict.value(QStringLiteral("remark")).toString();
        const QString title = record.value(QStringLiteral("title")).toString();
        const QString name = title.isEmpty() ? QStringLiteral("test case ") + integerText(record.value(QStringLiteral("testcaseid"))) : title;
        QString message;
        if (status == QLatin1String("fail"))
            message = caseRemark.isEmpty() ? QStringLiteral("failed") : caseRemark;
        else
            message = !caseRemark.isEmpty() ? caseRemark : !reason.isEmpty() ? reason : QStringLiteral("error");
        addCase(name, classnameOf(record.value(QStringLiteral("path")).toString()), msOf(caseVerdict.value(QStringLiteral("ms"))),
                status, message);
    }

    QString jobStatus = QStringLiteral("pass");
    QString jobMessage;
    if (result.isEmpty()) {
        jobStatus = QStringLiteral("running");
    } else if (result == QLatin1String("false") && !reason.isEmpty()) {
        jobStatus = QStringLiteral("error");
        jobMessage = reason;
    } else if (result == QLatin1String("false")) {
        jobStatus = QStringLiteral("fail");
        jobMessage = remark.isEmpty() ? QStringLiteral("job-level script returned false") : remark;
    }
    addCase(QStringLiteral("job-level verdict"), QStringLiteral("autotest.job"), 0, jobStatus, jobMessage);
    summary.jobStatus = jobStatus;

    QString stime = job.value(QStringLiteral("stime")).toString();
    const int blank = stime.indexOf(QLatin1Char(' '));
    if (blank >= 0)
        stime[blank] = QLatin1Char('T');
    const QString planId = integerText(job.value(QStringLiteral("planid")));
    suite.xml = QStringLiteral("  <testsuite name=\"job %1\" id=\"%2\" package=\"plan %3\" tests=\"%4\" failures=\"%5\" errors=\"%6\" skipped=\"%7\" time=\"%8\"")
                    .arg(summary.jobId)
                    .arg(suites.size())
                    .arg(planId)
                    .arg(summary.passed + summary.failed + summary.errors + summary.skipped)
                    .arg(summary.failed)
                    .arg(summary.errors)
                    .arg(summary.skipped)
                    .arg(secondsText(summary.ms));
    if (!stime.isEmpty())
        suite.xml += QStringLiteral(" timestamp=\"%1\"").arg(attr(stime));
    suite.xml += QLatin1String(">\n    <properties>\n");
    const QList<QPair<QString, QString>> properties{{QStringLiteral("jobid"), summary.jobId},
                                                    {QStringLiteral("planid"), planId},
                                                    {QStringLiteral("starter"), job.value(QStringLiteral("starter")).toString()},
                                                    {QStringLiteral("result"), result},
                                                    {QStringLiteral("remark"), remark},
                                                    {QStringLiteral("reason"), reason}};
    for (const auto& property : properties)
        suite.xml += QStringLiteral("      <property name=\"%1\" value=\"%2\"/>\n").arg(property.first, attr(property.second));
    suite.xml += QLatin1String("    </properties>\n") + cases + QLatin1String("  </testsuite>\n");
    suites.append(suite);
    return true;
}

void JUnitReport::AddJobReport(const QJsonObject& reportValue, const QJsonArray& caseList, const QDateTime& started)
{
    AddJobRecords(recordsOfReport(reportValue, caseList, started));
}

QList<JUnitReport::JobSummary> JUnitReport::Jobs() const
{
    QList<JobSummary> jobs;
    for (const Suite& suite : suites)
        jobs.append(suite.summary);
    return jobs;
}

bool JUnitReport::AnyFailed() const
{
    // A job-level verdict of false is a failure or an error of its own case.
    return std::any_of(suites.cbegin(), suites.cend(),
                       [](const Suite& suite) { return suite.summary.failed > 0 || suite.summary.errors > 0; });
}

QByteArray JUnitReport::ToXml() const
{
    int tests = 0, failures = 0, errors = 0, skipped = 0;
    qint64 ms = 0;
    QString body;
    for (const Suite& suite : suites) {
        const JobSummary& job = suite.summary;
        tests += job.passed + job.failed + job.errors + job.skipped;
        failures += job.failed;
        errors += job.errors;
        skipped += job.skipped;
        ms += job.ms;
        body += suite.xml;
    }
    const QString xml = QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                       "<testsuites name=\"autotest\" tests=\"%1\" failures=\"%2\" errors=\"%3\" skipped=\"%4\" time=\"%5\">\n")
                            .arg(tests)
                            .arg(failures)
                            .arg(errors)
                            .arg(skipped)
                            .arg(secondsText(ms))
        + body + QLatin1String("</testsuites>\n");
    return xml.toUtf8();
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
