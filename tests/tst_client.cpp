// autotest-client as a CI step runs it: its exit status, its JUnit file and its
// summary, against a host and the controller emulator on a port of its own.

#include "apps/autotest-client/JUnitReport.h"
#include "tests/support/HostProcess.h"
#include "tests/support/JsonTools.h"
#include "tests/support/RefusingPort.h"
#include "tests/support/TestClient.h"

#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QWebSocketServer>
#include <QXmlStreamReader>
#include <QtTest>

#include <csignal>

namespace {

const QString kTemplate = QStringLiteral(KIV_SOURCE_DIR "/examples/device-template.json");
const QString kSample = QStringLiteral(KIV_SOURCE_DIR "/examples/job-request.json");

QJsonObject item(int index, const QJsonValue& value)
{
    return {{"INDEX", index}, {"VALUE", value}};
}

QJsonObject testcase(int id, const QString& title, const QString& module, const QString& group, const QJsonArray& data,
                     const QString& script = QString())
{
    QJsonObject content{{"MODULE_NAME", module}, {"GROUP_NAME", group}, {"DATA", data}};
    if (!script.isEmpty())
        content.insert("execute_script", script);
    return {{"testcaseid", id}, {"title", title}, {"content", compact(content)}};
}

const QJsonObject kSupply = testcase(1, "supply", "Power", "Supply", {item(0, 12)}, "(function(l, g) { return l.Voltage === 12; })");
const QJsonObject kRadio = testcase(2, "radio", "Radio", "Tx", {item(1, 20)}, "(function(l, g) { return l.Power > 30; })");
const QJsonObject kTune = testcase(3, "tune", "Radio", "Tx", {item(0, 900)});
const QJsonObject kBroken = testcase(4, "broken", "Power", "Supply", {item(0, 1)}, "(function(l, g) { throw new Error('broken'); })");

// An "ExecuteJob" request; `delays` are the cases' post-delays in ms (0: none).
QString executeJob(int jobId, const QJsonArray& cases, const QList<int>& delays = {}, const QString& jobScript = QString())
{
    QJsonArray strategies;
    for (int i = 0; i < cases.size(); ++i) {
        const int ms = delays.value(i);
        strategies << (ms > 0 ? QJsonArray{QJsonObject{{"type", "s_deplay"}, {"time", ms}}} : QJsonArray());
    }
    QJsonObject content{{"case_stratepy", strategies}};
    if (!jobScript.isEmpty())
        content.insert("execute_script", jobScript);
    return compact({{"CMD", "ExecuteJob"}, {"SEQ", jobId},
                    {"VALUE", QJsonObject{{"url", "devices/dev-c"}, {"jobid", jobId}, {"planid", 9}, {"content", compact(content)},
                                          {"case_list", cases}}}});
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Each <testsuite> of a JUnit document as "name: case=outcome, ...".
QStringList junitSummary(const QByteArray& xml)
{
    QStringList suites, cases;
    QString suite;
    QXmlStreamReader reader(xml);
    while (!reader.atEnd()) {
        reader.readNext();
        const QString name = reader.name().toString();
        if (reader.isStartElement() && name == "testsuite") {
            suite = reader.attributes().value("name").toString();
            cases.clear();
        } else if (reader.isStartElement() && name == "testcase") {
            cases << reader.attributes().value("name").toString() + "=pass";
        } else if (reader.isStartElement() && (name == "failure" || name == "error" || name == "skipped")) {
            cases.last() = cases.last().section('=', 0, -2) + "=" + name;
        } else if (reader.isEndElement() && name == "testsuite") {
            suites << suite + ": " + cases.join(", ");
        }
    }
    if (reader.hasError())
        suites << "XML error: " + reader.errorString();
    return suites;
}

// What stdout showed, a word per line: the event's name, else "reply".
QStringList kinds(const QByteArray& out)
{
    QStringList list;
    for (const QByteArray& line : out.split('\n')) {
        if (!line.isEmpty())
            list << QJsonDocument::fromJson(line).object().value("EVENT").toString("reply");
    }
    return list;
}

struct Run
{
    int code = -1;
    QByteArray out;
    QString err;
};

} // namespace

class TstClient : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup()
    {
        QVERIFY2(m_host.Stop(), qPrintable(m_host.Stderr()));
        if (m_emulator)
            QVERIFY2(m_emulator->Stop(), qPrintable(m_emulator->Stderr()));
        delete m_emulator;
        m_emulator = nullptr;
    }

    void exitCodes_data()
    {
        // The emulator's options; "none" runs no emulator.
        QTest::addColumn<QStringList>("faults");
        // "%plan" a stored plan (supply passes, radio fails), "%plan-progress" the same
        // asking for events itself, "%closed" a port nothing listens on.
        QTest::addColumn<QStringList>("arguments");
        // Sent to the client once the text appears on its stderr, or on the
        // emulator's with "emulator:" in front.
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("trigger");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("suites");
        // Lines of the closing summary, each job's time written as "T".
        QTest::addColumn<QStringList>("summary");
        QTest::addColumn<QStringList>("stdout");
        const QStringList none;
        const QStringList reply{"reply"};
        const QStringList fail{"--fail-on-failure"};
        QTest::newRow("all passed") << none << QStringList{"--fail-on-failure", executeJob(21, {kSupply, kTune})} << 0 << "" << 0
                                    << QStringList{"job 21: supply=pass, tune=pass, job-level verdict=pass"}
                                    << QStringList{"job 21: 2 passed, 0 failed, 0 errors in T s"} << reply;
        const QString mixed = executeJob(22, {kSupply, kRadio, kBroken});
        const QStringList mixedSuite{"job 22: supply=pass, radio=failure, broken=error, job-level verdict=pass"};
        QTest::newRow("failed case") << none << QStringList{"--fail-on-failure", mixed} << 0 << "" << 3 << mixedSuite
                                     << QStringList{"job 22: 1 passed, 1 failed, 1 error in T s", "  FAILED radio: failed",
                                                    "  ERROR broken: Script Exception: LINE ( 1 ) Error: broken"}
                                     << reply;
        QTest::newRow("failed case, no --fail-on-failure") << none << QStringList{mixed} << 0 << "" << 0 << mixedSuite << none << reply;
        QTest::newRow("job-level script false")
            << none << QStringList{"--fail-on-failure", executeJob(23, {kSupply}, {}, "(function(l, g) { return false; })")} << 0 << ""
            << 3 << QStringList{"job 23: supply=pass, job-level verdict=failure"}
            << QStringList{"job 23: 1 passed, 0 failed, 0 errors in T s", "  FAILED job-level verdict: job-level script returned false"}
            << reply;
        QTest::newRow("no connection") << none << QStringList{"--fail-on-failure", "%closed", R"({"CMD":"get_state"})"} << 0 << "" << 2
                                       << none << none << none;
        QTest::newRow("broken JSON") << none << QStringList{"--fail-on-failure", R"({"CMD":)"} << 0 << "" << 4 << none << none << reply;
        QTest::newRow("unknown plan") << none << QStringList{R"({"CMD":"execute_job_local","planid":999999,"url":"devices/dev-c"})"} << 0
                                      << "" << 4 << none << none << reply;
        QTest::newRow("no test case") << none << QStringList{"--fail-on-failure", executeJob(24, {})} << 0 << "" << 5
                                      << QStringList{"job 24: job-level verdict=pass"} << QStringList{"job 24: no test case ran in T s"}
                                      << reply;
        // The device takes the first case and never answers: whenever the time-out
        // comes, that case is cut short and the other never runs.
        const QStringList cut{"job %job: supply=error, radio=skipped, job-level verdict=error"};
        const QStringList cutSummary{"job %job: 0 passed, 0 failed, 1 error, 1 skipped in T s", "  ERROR supply: Cancelled",
                                     "  ERROR job-level verdict: Cancelled"};
        QTest::newRow("time-out") << QStringList{"--ignore", "SetCaseData"} << QStringList{"--timeout", "3000", "%plan"} << 0 << "" << 1
                                  << cut << cutSummary << reply;
        QTest::newRow("SIGTERM") << QStringList{"--ignore", "SetCaseData"} << QStringList{"--fail-on-failure", "%plan"} << int(SIGTERM)
                                 << "emulator:ignoring SetCaseData" << 143 << cut << cutSummary << reply;
        QTest::newRow("SIGINT") << QStringList{"--ignore", "SetCaseData"} << QStringList{executeJob(25, {kSupply, kRadio, kTune})}
                                << int(SIGINT) << "emulator:ignoring SetCaseData" << 130
                                << QStringList{"job 25: supply=error, radio=skipped, tune=skipped, job-level verdict=error"}
                                << QStringList{"job 25: 0 passed, 0 failed, 1 error, 2 skipped in T s", "  ERROR supply: Cancelled",
                                               "  ERROR job-level verdict: Cancelled"}
                                << reply;
        QTest::newRow("stored plan") << none << QStringList{"--fail-on-failure", "%plan"} << 0 << "" << 3
                                     << QStringList{"job %job: supply=pass, radio=failure, job-level verdict=pass"}
                                     << QStringList{"job %job: 1 passed, 1 failed, 0 errors in T s", "  FAILED radio: failed"} << reply;
        // A request that asks for no events is followed all the same by a run
        // that must know how its jobs end; the events are not shown.
        QTest::newRow("stored plan, no events asked") << none << QStringList{"--fail-on-failure", "%plan-noprogress"} << 0 << "" << 3
                                                      << QStringList{"job %job: supply=pass, radio=failure, job-level verdict=pass"}
                                                      << QStringList{"  FAILED radio: failed"} << reply;
        // No controller: the job fails before its first case, which is no
        // failure of the device but a job that could not start.
        QTest::newRow("controller not running")
            << QStringList{"none"} << QStringList{"--fail-on-failure", executeJob(26, {kSupply})} << 0 << "" << 4
            << QStringList{"job 26: supply=skipped, job-level verdict=error"}
            << QStringList{"  ERROR job-level verdict: Websocket to controller/simulator/ | error: Connection refused"} << reply;
        // Events the user asked for are printed as they come without the verdicts.
        QTest::newRow("stored plan, events asked") << none << QStringList{"%plan-progress"} << 0 << "" << 0
                                                   << QStringList{"job %job: supply=pass, radio=failure, job-level verdict=pass"}
                                                   << QStringList{"job %job: 1 passed, 1 failed, 0 errors in T s"}
                                                   << QStringList{"reply", "JobProgress", "JobProgress", "JobReport"};
    }

    // The exit status with the JUnit file, the summary and what stdout shows;
    // a stored plan's file is what its records give, and a job the client
    // stopped is over on the host.
    void exitCodes()
    {
        QFETCH(QStringList, faults);
        QFETCH(QStringList, arguments);
        QFETCH(int, signal);
        QFETCH(QString, trigger);
        QFETCH(int, exitCode);
        QFETCH(QStringList, suites);
        QFETCH(QStringList, summary);
        QFETCH(QStringList, stdout);
        QVERIFY(StartEmulator(faults));
        const bool stored = arguments.last().startsWith("%plan");
        if (stored) {
            const int plan = MakePlan();
            QVERIFY(plan > 0);
            QJsonObject request{{"CMD", "execute_job_local"}, {"planid", plan}, {"url", "devices/dev-s"}};
            if (arguments.last() == "%plan-noprogress") {
                request.insert("progress", false);
                arguments.last() = compact(request);
            } else if (arguments.last() == "%plan-progress") {
                request.insert("progress", true);
                // A "SEQ" no double holds comes back as it was written, in every reply and event.
                arguments.last() = compact(request).replace("{", R"({"SEQ":9007199254740993,)");
            } else {
                arguments.last() = compact(request);
            }
        }
        if (arguments.contains("%closed")) {
            QTcpServer closed;
            QVERIFY(closed.listen(QHostAddress::LocalHost));
            arguments.replaceInStrings("%closed", QStringLiteral("--url=ws://127.0.0.1:%1").arg(closed.serverPort()));
        }
        QTemporaryDir dir;
        const QString file = dir.filePath("report.xml");
        const Run run = RunClient(QStringList{"--junit", file} + arguments, signal, trigger);
        QVERIFY2(run.code == exitCode, qPrintable(QStringLiteral("exit %1\n%2").arg(run.code).arg(run.err)));

        const QJsonObject started = QJsonDocument::fromJson(run.out.split('\n').value(0)).object();
        const QString job = QString::number(started.value("jobid").toInt());
        const QByteArray xml = readFile(file);
        QCOMPARE(junitSummary(xml), suites.replaceInStrings("%job", job));
        QVERIFY(SchemaAccepts(file));
        QStringList lines = run.err.split('\n');
        lines.replaceInStrings(QRegularExpression(" in \\d+\\.\\d s$"), " in T s");
        for (const QString& line : summary.replaceInStrings("%job", job))
            QVERIFY2(lines.contains(line), qPrintable(line + "\nnot in:\n" + run.err));
        QCOMPARE(kinds(run.out), stdout);
        if (arguments.last().contains("9007199254740993"))
            QCOMPARE(run.out.count("\"SEQ\":9007199254740993,"), stdout.size());
        QVERIFY2(!run.out.contains("\"verdict\""), run.out.constData());
        if (stored) {
            // The console writes the same bytes from the same records.
            QTRY_VERIFY(m_client.Request({{"CMD", "my_jobs"}}).value("data").toArray().isEmpty());
            const QJsonObject records = m_client.Request({{"CMD", "job_detail"}, {"jobid", job.toInt()}, {"verdicts", true}});
            JUnitReport report;
            QVERIFY(report.AddJobRecords(records));
            QCOMPARE(xml, report.ToXml());
            QCOMPARE(records["job"]["verdict"]["reason"].toString(), QString(exitCode == 3 || exitCode == 0 ? "" : "Cancelled"));
        } else if (signal == 0 && exitCode != 2) {
            // What the client asked for on its own leaves stdout as it would be without.
            const Run plain = RunClient(arguments.filter(QRegularExpression("^[^-]|^-$|^--url")));
            QCOMPARE(plain.out, run.out);
        }
    }

    // A job cancelled whose report never comes is written from its progress.
    void noReportAfterCancel()
    {
        QWebSocketServer fake(QStringLiteral("fake host"), QWebSocketServer::NonSecureMode);
        QVERIFY(fake.listen(QHostAddress::LocalHost));
        QStringList commands;
        connect(&fake, &QWebSocketServer::newConnection, this, [&] {
            QWebSocket* peer = fake.nextPendingConnection();
            // Not the server's child unless made one.
            peer->setParent(&fake);
            connect(peer, &QWebSocket::textMessageReceived, peer, [&, peer](const QString& text) {
                const QJsonObject request = QJsonDocument::fromJson(text.toUtf8()).object();
                const QString cmd = request.value("CMD").toString();
                commands << cmd;
                QJsonObject reply{{"ERROR", "SUCCESS"}, {"cmd", cmd}, {"result", "ok"}};
                if (request.contains("SEQ"))
                    reply.insert("SEQ", request.value("SEQ"));
                const auto detail = [](int id, const QString& title, const QString& status) {
                    return QJsonObject{{"seqidx", id - 1}, {"testcaseid", id}, {"title", title}, {"path", "p"},
                                       {"verdict", QJsonObject{{"status", status}, {"remark", ""}, {"ms", 5}}}};
                };
                if (cmd == "execute_job_local") {
                    reply.insert("jobid", 7);
                    peer->sendTextMessage(compact(reply));
                    peer->sendTextMessage(compact({{"EVENT", "JobProgress"}, {"jobid", 7}, {"done", 1}, {"total", 2},
                                                   {"tc", QJsonObject{{"id", 1}, {"result", true}, {"remark", ""}}},
                                                   {"verdict", QJsonObject{{"status", "pass"}, {"remark", ""}, {"ms", 5}}}}));
                } else if (cmd == "job_detail") {
                    reply.insert("job", QJsonObject{{"jobid", 7}, {"planid", 3}, {"status", 2}, {"stime", "2026-01-02 03:04:05"},
                                                    {"verdict", QJsonObject{{"result", QJsonValue::Null}}}});
                    reply.insert("jobdetail", QJsonArray{detail(1, "one", "running"), detail(2, "two", "running")});
                    peer->sendTextMessage(compact(reply));
                } else {
                    // Cancelled, but the job's report is lost.
                    peer->sendTextMessage(compact(reply));
                }
            });
        });
        QTemporaryDir dir;
        const QString file = dir.filePath("report.xml");
        const Run run = RunClient({"--url", QStringLiteral("ws://127.0.0.1:%1").arg(fake.serverPort()), "--junit", file, "--progress",
                                   R"({"CMD":"execute_job_local","planid":3,"url":"devices/x"})"},
                                  SIGINT, "job 7 [###############---------------] 1/2");
        QCOMPARE(run.code, 130);
        QCOMPARE(commands, (QStringList{"execute_job_local", "job_detail", "CancelJob"}));
        QCOMPARE(junitSummary(readFile(file)), QStringList{"job 7: one=pass, two=skipped, job-level verdict=skipped"});
        QVERIFY2(readFile(file).contains(R"(<testcase name="one" classname="p" time="0.005"/>)"), readFile(file).constData());
    }

    void junitReports_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("suites");
        QTest::addColumn<QByteArray>("excerpt");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("sample") << QStringList{"--file", kSample}
                                << QStringList{"job 1: Supply accepts 12 V / 2 A=pass, Transmitter tunes to 1090 MHz=pass, "
                                               "Transmit power above 30 dBm (fails on purpose)=failure, Supply set without a check=pass, "
                                               "job-level verdict=pass"}
                                << QByteArray(R"(<property name="planid" value="1"/>)") << 0;
        // Without a device id the job could not start; the title needs escaping.
        QTest::newRow("fatal") << QStringList{compact({{"CMD", "ExecuteJob"}, {"VALUE", QJsonObject{{"jobid", 4}, {"url", ""},
                                                   {"case_list", QJsonArray{QJsonObject{{"testcaseid", 7}, {"title", "a <b> & \"c\""}}}}}}})}
                               << QStringList{"job 4: a <b> & \"c\"=skipped, job-level verdict=error"}
                               << QByteArray("type=\"error\">Job url has no device id: &apos;&apos;</error>") << 4;
        // A thrown value with a character XML cannot hold; a case without a title.
        QJsonObject bell = kBroken;
        bell.insert("title", "");
        bell.insert("content", compact({{"MODULE_NAME", "Power"}, {"GROUP_NAME", "Supply"}, {"DATA", QJsonArray{item(0, 1)}},
                                        {"execute_script", "(function(l, g) { throw 'bell \\u0007'; })"}}));
        QTest::newRow("control character") << QStringList{executeJob(6, {bell})} << QStringList{"job 6: test case 4=error, job-level verdict=pass"}
                                           << QByteArray("bell \xEF\xBF\xBD") << 0;
        // The user's own "job_detail" is written too.
        QTest::newRow("job detail") << QStringList{"%detail"} << QStringList{"job %job: supply=pass, radio=failure, job-level verdict=pass"}
                                    << QByteArray(R"(<property name="starter" value=""/>)") << 0;
    }

    // autotest-client --junit writes what the jobs' records say, valid for CI readers.
    void junitReports()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, suites);
        QFETCH(QByteArray, excerpt);
        QFETCH(int, exitCode);
        QVERIFY(StartEmulator());
        QString job;
        if (arguments.contains("%detail")) {
            const int plan = MakePlan();
            const QJsonObject started = m_client.Request({{"CMD", "execute_job_local"}, {"planid", plan}, {"url", "devices/dev-d"}});
            job = QString::number(started.value("jobid").toInt());
            QTRY_VERIFY(m_client.Request({{"CMD", "my_jobs"}}).value("data").toArray().isEmpty());
            arguments = QStringList{compact({{"CMD", "job_detail"}, {"jobid", job.toInt()}})};
        }
        QTemporaryDir dir;
        const QString file = dir.filePath("report.xml");
        QCOMPARE(RunClient(QStringList{"--junit", file} + arguments).code, exitCode);
        QCOMPARE(junitSummary(readFile(file)), suites.replaceInStrings("%job", job));
        QVERIFY2(readFile(file).contains(excerpt), readFile(file).constData());
        QVERIFY(SchemaAccepts(file));
    }

private:
    // The emulator with `options` ("none": no emulator, the host's controller
    // refuses connections), then the host in mode "local" on it. The host
    // keeps its database from one test to the next.
    bool StartEmulator(const QStringList& options = {})
    {
        QStringList controller{"--controller", m_refusing.Url()};
        if (options != QStringList{"none"}) {
            m_emulator = new HostProcess(QStringLiteral("controller-emulator"));
            if (!m_emulator->Start(QStringList{"--template", kTemplate, "--push-interval", "20"} + options)) {
                qWarning("%s", qPrintable(m_emulator->ErrorText()));
                return false;
            }
            controller = m_emulator->ControllerOption();
        }
        m_client.Socket().abort();
        if (!m_host.Start(controller) || !m_client.Connect(m_host.Url())) {
            qWarning("%s", qPrintable(m_host.ErrorText()));
            return false;
        }
        return m_client.Request({{"CMD", "switch_state"}, {"state", "local"}}).value("state") == QStringLiteral("local");
    }

    // A stored plan of "supply" (passes) and "radio" (fails); 0 on failure.
    int MakePlan()
    {
        QJsonArray ids;
        for (const QJsonObject& tc : {kSupply, kRadio})
            ids << m_client.Request({{"CMD", "add_tc"}, {"testcase", QJsonObject{{"title", tc["title"]}, {"content", tc["content"]}}}})
                       .value("testcaseid");
        const QJsonObject plan = m_client.Request(
            {{"CMD", "create_plan"}, {"name", "ci"}, {"content", compact({{"case_stratepy", QJsonArray{QJsonArray(), QJsonArray()}}})}});
        const QJsonObject synced = m_client.Request({{"CMD", "sync_plan"}, {"planid", plan.value("planid")}, {"tclist", ids}});
        return synced.value("result") == QStringLiteral("ok") ? plan.value("planid").toInt() : 0;
    }

    // Runs autotest-client (against the host unless the arguments name a
    // --url) and waits for its exit; with a signal, sends it once `trigger`
    // has appeared. The event loop runs meanwhile.
    Run RunClient(const QStringList& arguments, int signal = 0, const QString& trigger = QString())
    {
        QProcess client;
        Run run;
        client.start(HostProcess::BinDir() + "/autotest-client", QStringList{"--url", m_host.Url().toString()} + arguments);
        const auto stderrText = [&] {
            run.err += QString::fromUtf8(client.readAllStandardError());
            return run.err;
        };
        if (signal != 0) {
            const bool onEmulator = trigger.startsWith("emulator:");
            const QString text = onEmulator ? trigger.mid(9) : trigger;
            if (!QTest::qWaitFor([&] { return (onEmulator ? m_emulator->Stderr() : stderrText()).contains(text); }, 30000))
                qWarning("no '%s' seen", qPrintable(text));
            ::kill(pid_t(client.processId()), signal);
        }
        if (!QTest::qWaitFor([&] { return client.state() == QProcess::NotRunning; }, 60000))
            client.kill();
        client.waitForFinished(5000);
        stderrText();
        run.out = client.readAllStandardOutput();
        run.code = client.exitStatus() == QProcess::NormalExit ? client.exitCode() : -1;
        return run;
    }

    // The file passes tests/junit.xsd (when xmllint is installed).
    static bool SchemaAccepts(const QString& file)
    {
        if (QStandardPaths::findExecutable("xmllint").isEmpty())
            return true;
        QProcess lint;
        lint.start("xmllint", {"--noout", "--schema", KIV_SOURCE_DIR "/tests/junit.xsd", file});
        if (lint.waitForFinished(10000) && lint.exitCode() == 0)
            return true;
        qWarning("%s", lint.readAllStandardError().constData());
        return false;
    }

    HostProcess m_host;
    HostProcess* m_emulator = nullptr;
    const RefusingPort m_refusing;
    TestClient m_client;
};

QTEST_GUILESS_MAIN(TstClient)
#include "tst_client.moc"
