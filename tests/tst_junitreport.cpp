#include "apps/autotest-client/JUnitReport.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

// Records in tests/fixtures/junit/ and the exact XML made from them; the
// console's writer is held to the same files (tests/console/test_report.mjs).
static const QString kFixtures = QStringLiteral(KIV_SOURCE_DIR "/tests/fixtures/junit/");

static QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

static QJsonObject obj(const QByteArray& json)
{
    return QJsonDocument::fromJson(json).object();
}

// "name=failure: message" for each case that failed or ended in error.
static QStringList problems(const JUnitReport::JobSummary& job)
{
    QStringList out;
    for (const JUnitReport::Problem& problem : job.problems)
        out << problem.name + (problem.error ? "=error: " : "=failure: ") + problem.message;
    return out;
}

// Reads each suite of a file as junitparser (Debian's python3-junitparser)
// does: the counts the suite states, those of its cases, and whether every
// failure's and error's message reads back the same as its text.
static const char kJunitParser[] = R"(
import json, sys
try:
    from junitparser import JUnitXml, Failure, Error, Skipped
except ImportError:
    sys.exit(77)
suites = []
for suite in JUnitXml.fromfile(sys.argv[1]):
    cases = list(suite)
    kinds = [type(r).__name__ for case in cases for r in case.result]
    messages = [r.message for case in cases for r in case.result if isinstance(r, (Failure, Error))]
    texts = [r.text for case in cases for r in case.result if isinstance(r, (Failure, Error))]
    suites.append({'stated': [suite.tests, suite.failures, suite.errors, suite.skipped],
                   'counted': [len(cases), kinds.count('Failure'), kinds.count('Error'), kinds.count('Skipped')],
                   'ms': round(suite.time * 1000), 'messages': messages, 'texts': texts})
print(json.dumps(suites))
)";

class TstJUnitReport : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void fixtures_data()
    {
        QTest::addColumn<QString>("name");
        // tests, failures, errors, skipped and the time in ms, the job-level case included.
        QTest::addColumn<QList<int>>("counts");
        QTest::addColumn<QStringList>("problems");
        const QString reason = "Fail to init job info: test case 12 (Supply 12 V): module 'Powr' is not in the device template";
        QTest::newRow("mixed") << "mixed" << QList<int>{5, 2, 1, 1, 34}
                               << QStringList{"Radio answers=failure: failed",
                                              "test case 9=error: Script Exception: LINE ( 1 ) Error: bad",
                                              "job-level verdict=failure: job-level script returned false"};
        QTest::newRow("failed job") << "failed-job" << QList<int>{4, 0, 2, 2, 0}
                                    << QStringList{"Supply 12 V=error: " + reason, "job-level verdict=error: " + reason};
        // The summary keeps what the records say; only the file is cleaned.
        QTest::newRow("hostile") << "hostile" << QList<int>{5, 1, 1, 0, 1753}
                                 << QStringList{QStringLiteral("Tom's \"12 V\" <supply> & more=failure: said \"no\" & it's <bad>\tcol 2\n"
                                                               "line 2\r\nbell \x07 nul \0 us \x1f end"),
                                                "Both\tempty=error: error"};
        QTest::newRow("running") << "running" << QList<int>{4, 0, 0, 3, 40} << QStringList();
    }

    // Each fixture's records give its XML byte for byte, and the summary the CLI prints.
    void fixtures()
    {
        QFETCH(QString, name);
        QFETCH(QList<int>, counts);
        QFETCH(QStringList, problems);
        JUnitReport report;
        QVERIFY(report.AddJobRecords(obj(readFile(kFixtures + name + ".json"))));
        const QByteArray expected = readFile(kFixtures + name + ".xml");
        QVERIFY(!expected.isEmpty());
        QCOMPARE(report.ToXml(), expected);

        QCOMPARE(report.Jobs().size(), 1);
        const JUnitReport::JobSummary job = report.Jobs().first();
        QCOMPARE((QList<int>{job.passed + job.failed + job.errors + job.skipped, job.failed, job.errors, job.skipped, int(job.ms)}),
                 counts);
        QCOMPARE(::problems(job), problems);
        QCOMPARE(report.AnyFailed(), !problems.isEmpty());
    }

    void readers_data() { fixtures_data(); }

    // What the CI readers make of each file: the schema accepts it, and
    // junitparser counts what the suite says it holds.
    void readers()
    {
        QFETCH(QString, name);
        QFETCH(QList<int>, counts);
        JUnitReport report;
        QVERIFY(report.AddJobRecords(obj(readFile(kFixtures + name + ".json"))));
        QTemporaryDir dir;
        const QString path = dir.filePath("report.xml");
        QString error;
        QVERIFY2(report.Write(path, error), qPrintable(error));
        QCOMPARE(readFile(path), report.ToXml());

        bool checked = false;
        if (!QStandardPaths::findExecutable("xmllint").isEmpty()) {
            QProcess lint;
            lint.start("xmllint", {"--noout", "--schema", KIV_SOURCE_DIR "/tests/junit.xsd", path});
            QVERIFY(lint.waitForFinished(10000));
            QVERIFY2(lint.exitCode() == 0, lint.readAllStandardError().constData());
            checked = true;
        }

        QProcess python;
        python.start("/usr/bin/python3", {"-c", kJunitParser, path});
        QVERIFY(python.waitForFinished(20000) || python.error() == QProcess::FailedToStart);
        if (python.error() != QProcess::FailedToStart && python.exitCode() != 77) {
            QVERIFY2(python.exitCode() == 0, python.readAllStandardError().constData());
            const QJsonArray suites = QJsonDocument::fromJson(python.readAllStandardOutput()).array();
            QCOMPARE(suites.size(), 1);
            const QJsonObject suite = suites.first().toObject();
            const QJsonArray expected{counts[0], counts[1], counts[2], counts[3]};
            QCOMPARE(suite["stated"].toArray(), expected);
            QCOMPARE(suite["counted"].toArray(), expected);
            QCOMPARE(suite["ms"].toInt(), counts[4]);
            // Attributes and text are escaped differently; both read back the same.
            QCOMPARE(suite["messages"].toArray(), suite["texts"].toArray());
            QCOMPARE(suite["messages"].toArray().size(), counts[1] + counts[2]);
            checked = true;
        }
        if (!checked)
            QSKIP("neither xmllint nor python3-junitparser is installed");
    }

    // A remark the XML cannot hold reads back with U+FFFD in its place, and
    // line breaks and tabs survive attribute normalisation.
    void hostileReadsBack()
    {
        JUnitReport report;
        QVERIFY(report.AddJobRecords(obj(readFile(kFixtures + "hostile.json"))));
        QTemporaryDir dir;
        const QString path = dir.filePath("report.xml");
        QString error;
        QVERIFY2(report.Write(path, error), qPrintable(error));
        QProcess python;
        python.start("/usr/bin/python3", {"-c", kJunitParser, path});
        if (!python.waitForFinished(20000) || python.exitCode() == 77)
            QSKIP("python3-junitparser is not installed");
        const QJsonArray suites = QJsonDocument::fromJson(python.readAllStandardOutput()).array();
        QCOMPARE(suites.first()["messages"].toArray(),
                 (QJsonArray{QString::fromUtf8("said \"no\" & it's <bad>\tcol 2\nline 2\r\nbell \uFFFD nul \uFFFD us \uFFFD end"), "error"}));
    }

    // An "ExecuteJob" report with verdicts and its request's case list make
    // the records of the stored job: the failed-job fixture, built the other way.
    void reportAsRecords()
    {
        const QJsonObject value = obj(R"({"jobid":12,"planid":4,"result":false,"remark":"Fail to init job info",
            "verdict":{"result":false,"remark":"Fail to init job info",
                       "reason":"Fail to init job info: test case 12 (Supply 12 V): module 'Powr' is not in the device template"},
            "tcs":[{"id":11,"result":false,"remark":"Fatal Error","verdict":{"status":"not run","remark":"","ms":-1}},
                   {"id":12,"result":false,"remark":"Fatal Error","verdict":{"status":"error","remark":"","ms":-1}}]})");
        // The last case is past the report's entries, and has no title.
        const QJsonArray caseList = QJsonDocument::fromJson(R"([
            {"testcaseid":11,"title":"Battery level","path":"Power/Battery","content":"{}"},
            {"testcaseid":12,"title":"Supply 12 V","path":"Power/Supply","content":"{}"},
            {"testcaseid":13,"path":"Radio/Tx","content":"{}"}])").array();
        JUnitReport report;
        report.AddJobReport(value, caseList, QDateTime(QDate(2026, 12, 7), QTime(8, 30, 5)));
        QCOMPARE(report.ToXml(), readFile(kFixtures + "failed-job.xml"));
    }

    void plainReports_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QByteArray>("caseList");
        QTest::addColumn<QString>("summary");
        QTest::addColumn<QStringList>("problems");
        const QByteArray cases = R"([{"testcaseid":1,"title":"one"},{"testcaseid":2,"title":"two"},{"testcaseid":3}])";
        // A worker's failure report marks every case; the job's remark says why.
        QTest::newRow("fatal") << QByteArray(R"({"jobid":4,"planid":1,"result":false,"remark":"Websocket to controller | error: refused",
                                     "tcs":[{"id":1,"result":false,"remark":"Fatal Error"},{"id":2,"result":false,"remark":"Fatal Error"},
                                            {"id":3,"result":false,"remark":"Fatal Error"}]})")
                               << cases << "4: 0 passed, 0 failed, 4 errors, 0 skipped"
                               << QStringList{"one=error: Websocket to controller | error: refused", "two=error: Websocket to controller | error: refused",
                                              "test case 3=error: Websocket to controller | error: refused",
                                              "job-level verdict=error: Websocket to controller | error: refused"};
        QTest::newRow("cancelled") << QByteArray(R"({"jobid":5,"result":false,"remark":"Cancelled",
                                         "tcs":[{"id":1,"result":true,"remark":""},{"id":2,"result":false,"remark":"Cancelled"}]})")
                                   << cases << "5: 1 passed, 0 failed, 2 errors, 1 skipped"
                                   << QStringList{"two=error: Cancelled", "job-level verdict=error: Cancelled"};
        // Errors known by their remark; other falsy verdicts are failures; the
        // job-level script's own failure stands beside them.
        QTest::newRow("judged") << QByteArray(R"({"jobid":6,"result":false,"remark":"",
                                      "tcs":[{"id":1,"result":false,"remark":"Set Data Ack: refused"},
                                             {"id":2,"result":false,"remark":"Fail to Convert id data to name data"},
                                             {"id":3,"result":false,"remark":"too low"},
                                             {"id":4,"result":false,"remark":"Script is not callable"}]})")
                                << cases << "6: 0 passed, 2 failed, 3 errors, 0 skipped"
                                << QStringList{"one=error: Set Data Ack: refused", "two=error: Fail to Convert id data to name data",
                                               "test case 3=failure: too low", "test case 4=error: Script is not callable",
                                               "job-level verdict=failure: job-level script returned false"};
        // A stored plan's report names its cases itself; a report too large
        // for the host comes as its remark alone.
        QTest::newRow("stored plan") << QByteArray(R"({"jobid":7,"result":true,"remark":"No Script to Exec",
                                           "tcs":[{"id":1,"result":true,"remark":"","title":"supply"},{"id":2,"result":false,"remark":"","title":"radio"}]})")
                                     << QByteArray("[]") << "7: 2 passed, 1 failed, 0 errors, 0 skipped" << QStringList{"radio=failure: failed"};
        QTest::newRow("too large") << QByteArray(R"({"jobid":8,"result":false,"remark":"report too large"})") << QByteArray("[]")
                                   << "8: 0 passed, 1 failed, 0 errors, 0 skipped"
                                   << QStringList{"job-level verdict=failure: report too large"};
    }

    // A report without verdicts (an older station) is judged from its plain fields.
    void plainReports()
    {
        QFETCH(QByteArray, value);
        QFETCH(QByteArray, caseList);
        QFETCH(QString, summary);
        QFETCH(QStringList, problems);
        JUnitReport report;
        report.AddJobReport(obj(value), QJsonDocument::fromJson(caseList).array(), QDateTime());
        const JUnitReport::JobSummary job = report.Jobs().first();
        QCOMPARE(QStringLiteral("%1: %2 passed, %3 failed, %4 errors, %5 skipped")
                     .arg(job.jobId).arg(job.passed).arg(job.failed).arg(job.errors).arg(job.skipped),
                 summary);
        QCOMPARE(::problems(job), problems);
        QVERIFY(!report.ToXml().contains("timestamp="));
    }

    // Several jobs in one file: suites numbered in order, the totals summed;
    // a reply without records adds nothing.
    void severalJobs()
    {
        JUnitReport report;
        QVERIFY(!report.AddJobRecords(obj(R"({"result":"no such job"})")));
        QByteArray suites;
        for (const QString name : {"mixed", "running", "hostile"}) {
            QVERIFY(report.AddJobRecords(obj(readFile(kFixtures + name + ".json"))));
            const QByteArray xml = readFile(kFixtures + name + ".xml");
            const int from = xml.indexOf("  <testsuite ");
            suites += xml.mid(from, xml.indexOf("</testsuites>") - from)
                          .replace("id=\"0\"", QStringLiteral("id=\"%1\"").arg(report.SuiteCount() - 1).toUtf8());
        }
        QCOMPARE(report.ToXml(), QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                            "<testsuites name=\"autotest\" tests=\"14\" failures=\"3\" errors=\"2\" skipped=\"4\" time=\"1.827\">\n")
                                     + suites + "</testsuites>\n");
        QVERIFY(report.AnyFailed());
    }

    void writeFails()
    {
        JUnitReport report;
        QTemporaryDir dir;
        QString error;
        QVERIFY(!report.Write(dir.filePath("missing/report.xml"), error));
        QVERIFY(!error.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TstJUnitReport)
#include "tst_junitreport.moc"
