// Whole jobs through the host over a real connection, against the controller
// emulator on a port of its own.

#include "tests/support/HostProcess.h"
#include "tests/support/JsonTools.h"
#include "tests/support/RefusingPort.h"
#include "tests/support/TestClient.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTimer>
#include <QtTest>

#include <algorithm>

namespace {

const QString kTemplate = QStringLiteral(KIV_SOURCE_DIR "/examples/device-template.json");

QJsonObject testcase(int id, const QString& module, const QString& group, const QJsonArray& data,
                     const QJsonValue& script = QJsonValue::Undefined)
{
    const QJsonObject content{{"MODULE_NAME", module}, {"GROUP_NAME", group}, {"DATA", data}, {"execute_script", script}};
    return {{"testcaseid", id}, {"content", compact(content)}};
}

QJsonObject item(int index, const QJsonValue& value)
{
    return {{"INDEX", index}, {"VALUE", value}};
}

QJsonArray delay(int ms)
{
    return {QJsonObject{{"type", "s_deplay"}, {"time", ms}}};
}

// Two cases that each set one value; the device answers with the same values.
QJsonObject twoCaseJob(const QString& url, const QJsonArray& strategies = {QJsonArray(), QJsonArray()})
{
    const QJsonArray cases{testcase(1, "Power", "Supply", {item(0, 12)}, "(function(l, g) { return l.Voltage === 12; })"),
                           testcase(2, "Radio", "Tx", {item(0, 900)})};
    return {{"url", url}, {"jobid", 11}, {"planid", 5}, {"case_list", cases}, {"content", compact({{"case_stratepy", strategies}})}};
}

QJsonObject executeJob(const QJsonObject& job, const QJsonValue& seq = "job")
{
    return {{"CMD", "ExecuteJob"}, {"SEQ", seq}, {"VALUE", job}};
}

// A job of one test case per script on `url`, each setting the supply voltage.
QJsonObject scriptJob(const QString& url, int jobId, const QStringList& scripts)
{
    QJsonArray cases, strategies;
    for (int i = 0; i < scripts.size(); ++i) {
        cases.append(testcase(i + 1, "Power", "Supply", {item(0, 12)}, scripts.at(i)));
        strategies.append(QJsonArray());
    }
    return {{"url", url}, {"jobid", jobId}, {"planid", 1}, {"case_list", cases}, {"content", compact({{"case_stratepy", strategies}})}};
}

// The processes `pid` has started and not yet reaped (its main thread's, where QProcess starts them).
QStringList childrenOf(qint64 pid)
{
    QFile file(QStringLiteral("/proc/%1/task/%1/children").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return {QStringLiteral("unreadable")};
    return QString::fromLatin1(file.readAll()).split(' ', Qt::SkipEmptyParts);
}

const QString kLoop = QStringLiteral("(function(l, g) { while (true) {} })");
const QString kPass = QStringLiteral("(function(l, g) { return l.Voltage === 12; })");

} // namespace

class TstATWorker : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup()
    {
        delete m_client;
        m_client = nullptr;
        if (m_host)
            QVERIFY2(m_host->Stop(), qPrintable(m_host->Stderr()));
        delete m_host;
        m_host = nullptr;
        if (m_emulator)
            QVERIFY2(m_emulator->Stop(), qPrintable(m_emulator->Stderr()));
        delete m_emulator;
        m_emulator = nullptr;
    }

    void jobsOnAWorkingDevice()
    {
        QVERIFY(StartEmulator() && StartHost());
        // Case 33 reads the device's answer and the pushed observations by name;
        // case 34 fails its check; the job script reads the observations too.
        const QJsonArray cases{
            testcase(31, "Power", "Supply", {item(0, 12), item(1, 2)}, "(function(l, g) { return l.Voltage === 12 && l.Current === 2; })"),
            testcase(32, "Radio", "Tx", {item(0, 1090)}),
            testcase(33, "Radio", "Tx", {item(1, 20)},
                     "(function(l, g) { return l.Power === 20 && g.Power.Battery.Voltage.length > 0 && g.Radio.Signal.SNR.length > 0; })"),
            testcase(34, "Power", "Supply", {item(1, 3)}, "(function(l, g) { return l.Current > 5; })"),
            testcase(35, "Power", "Supply", {item(0, 1)}, "(function(l, g) { throw new Error('broken'); })")};
        const QJsonArray strategies{delay(300), QJsonArray(), delay(200), QJsonArray(), QJsonArray()};
        const QJsonObject job{{"url", "devices/dev-a"}, {"jobid", 77}, {"planid", 8}, {"case_list", cases},
                              {"content", compact({{"execute_script", "(function(l, g) { return g.Radio.Signal.RSSI.length > 1; })"},
                                                   {"case_stratepy", strategies}})}};
        QElapsedTimer timer;
        timer.start();
        QJsonObject reply = RunJob(executeJob(job));
        QVERIFY2(timer.elapsed() >= 500, "post-delays were not waited");
        const QJsonObject report = reply.take("VALUE").toObject();
        QCOMPARE(reply, (QJsonObject{{"SEQ", "job"}, {"ERROR", "SUCCESS"}}));
        const QString exception = report.value("tcs")[4]["remark"].toString();
        QVERIFY2(exception.startsWith("Script Exception: LINE ( "), qPrintable(exception));
        const auto tc = [](int id, bool result, const QString& remark) { return QJsonObject{{"id", id}, {"result", result}, {"remark", remark}}; };
        QCOMPARE(report, (QJsonObject{{"jobid", 77}, {"planid", 8}, {"result", true}, {"remark", ""},
                                      {"tcs", QJsonArray{tc(31, true, ""), tc(32, true, "No Script to Exec"), tc(33, true, ""),
                                                         tc(34, false, ""), tc(35, false, exception)}}}));

        // No "VALUE" at all: an empty job without a device.
        const QJsonObject empty = RunJob({{"CMD", "ExecuteJob"}, {"SEQ", 3}});
        QCOMPARE(empty.value("SEQ").toInt(), 3);
        QCOMPARE(empty.value("VALUE").toObject(),
                 (QJsonObject{{"result", false}, {"remark", "Job url has no device id: ''"}, {"tcs", QJsonArray()}}));

        // A client that leaves during a job: the job runs to its end, its progress
        // and report go nowhere and the host stays up.
        QJsonObject leaving = executeJob(twoCaseJob("devices/dev-f", {delay(400), QJsonArray()}), 1);
        leaving.insert("progress", true);
        m_client->Send(leaving);
        QTRY_VERIFY(m_host->Stderr().contains("Job 11 starts on device dev-f"));
        delete m_client;
        m_client = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT(m_host->Stderr().contains("Job 11 on device dev-f finished"), 10000);
        TestClient other;
        QVERIFY(other.Connect(m_host->Url()));
        QCOMPARE(other.Request({{"CMD", "get_state"}}).value("result").toString(), QStringLiteral("ok"));
    }

    void faultsEndTheJob_data()
    {
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<QJsonObject>("job");
        // Qt reports a lost connection as an error or a disconnection, in either
        // order; the first one ends the job.
        QTest::addColumn<QStringList>("remarks");
        // Why the job failed as a whole, as its verdict says, and what became of each case.
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QStringList>("cases");
        // False: the host's controller is a port that refuses connections.
        QTest::addColumn<bool>("controllerUp");
        const QJsonObject job = twoCaseJob("devices/dev-b");
        const QStringList neither{"not run", "not run"};
        QTest::newRow("simulator refused") << QStringList{"--refuse", "start_sim"} << job << QStringList{"Device Can't Start Simulator"}
                                           << "Device Can't Start Simulator: Refused by emulator" << neither << true;
        QTest::newRow("auto-test refused") << QStringList{"--refuse", "EnterAutoTest"} << job << QStringList{"Device Can't Enter AT Mode"}
                                           << "Device Can't Enter AT Mode: Refused by emulator" << neither << true;
        QTest::newRow("empty template") << QStringList{"--empty-template"} << job
                                        << QStringList{"Device template from 'Enter AT Mode' is empty"}
                                        << "Device template from 'Enter AT Mode' is empty" << neither << true;
        QTest::newRow("fewer strategies than cases") << QStringList() << twoCaseJob("devices/dev-e", {QJsonArray()})
                                                     << QStringList{"Fail to init job info"}
                                                     << "Fail to init job info: the plan's case_stratepy has 0 entries for 2 test cases"
                                                     << neither << true;
        // One misspelled name keeps the whole job from starting; its case is the error.
        QJsonObject misspelled = job;
        misspelled.insert("case_list", QJsonArray{job["case_list"][0], QJsonObject{{"testcaseid", 2}, {"title", "Tx power"},
                                                  {"content", compact({{"MODULE_NAME", "Radoi"}, {"GROUP_NAME", "Tx"}, {"DATA", QJsonArray()}})}}});
        QTest::newRow("misspelled module") << QStringList() << misspelled << QStringList{"Fail to init job info"}
                                           << "Fail to init job info: test case 2 (Tx power): module 'Radoi' is not in the device template"
                                           << QStringList{"not run", "error"} << true;
        // A link that never came up says why.
        QTest::newRow("controller not running") << QStringList() << job
                                                << QStringList{"Websocket to controller/simulator/ | error: Connection refused"}
                                                << "Websocket to controller/simulator/ | error: Connection refused" << neither << false;
        // The device channel goes at its third message: the second test case, after
        // the first has passed. The url is a bare device id.
        QTest::newRow("link dropped in the middle")
            << QStringList{"--drop-after", "3"} << twoCaseJob("dev-d")
            << QStringList{"Websocket to controller/auto_test/ | error: The remote host closed the connection",
                           "Websocket to controller/auto_test/ is disconnected"}
            << "" << QStringList{"pass", "error"} << true;
    }

    // Every case of a job that failed is reported as a fatal error; with
    // "verdicts" the report also keeps what really became of each case, and
    // why the job failed.
    void faultsEndTheJob()
    {
        QFETCH(QStringList, faults);
        QFETCH(QJsonObject, job);
        QFETCH(QStringList, remarks);
        QFETCH(QString, reason);
        QFETCH(QStringList, cases);
        QFETCH(bool, controllerUp);
        const RefusingPort refusing;
        QVERIFY(StartEmulator(faults) && StartHost(controllerUp ? QString() : refusing.Url()));
        QJsonObject request = executeJob(job);
        request.insert("verdicts", true);
        QJsonObject report = RunJob(request).value("VALUE").toObject();
        const QString remark = report.take("remark").toString();
        QVERIFY2(remarks.contains(remark), qPrintable(remark));
        const QJsonObject verdict = report.take("verdict").toObject();
        QCOMPARE(compact(verdict), compact({{"result", false}, {"remark", remark}, {"reason", reason.isEmpty() ? remark : reason}}));
        QStringList seen;
        QJsonArray tcs = report.take("tcs").toArray();
        for (int i = 0; i < tcs.size(); ++i) {
            QJsonObject tc = tcs.at(i).toObject();
            const QJsonObject caseVerdict = tc.take("verdict").toObject();
            seen << caseVerdict.value("status").toString();
            // The case that was running when the job failed carries the reason.
            if (seen.last() == "error")
                QCOMPARE(caseVerdict.value("remark").toString(), verdict.value("reason").toString());
            tcs.replace(i, tc);
        }
        QCOMPARE(seen, cases);
        const auto fatal = [](int id) { return QJsonObject{{"id", id}, {"result", false}, {"remark", "Fatal Error"}}; };
        QCOMPARE(tcs, (QJsonArray{fatal(1), fatal(2)}));
        QCOMPARE(report, (QJsonObject{{"jobid", 11}, {"planid", 5}, {"result", false}}));
    }

    void controllerAddresses_data()
    {
        QTest::addColumn<QString>("controller"); // "%port": the emulator's
        QTest::addColumn<QString>("refusal");    // what the host says as it exits with 2; empty: it runs the job
        QTest::newRow("name, trailing slash") << "ws://localhost:%port/" << "";
        QTest::newRow("not ws") << "http://127.0.0.1:%port" << "not ws://HOST:PORT";
        QTest::newRow("no scheme") << "127.0.0.1:%port" << "not ws://HOST:PORT";
        QTest::newRow("no port") << "ws://127.0.0.1" << "no port";
        QTest::newRow("a path") << "ws://127.0.0.1:%port/controller" << "nothing but ws://HOST:PORT is taken";
        QTest::newRow("a user") << "ws://me@127.0.0.1:%port" << "nothing but ws://HOST:PORT is taken";
    }

    // --controller takes the controller's address and nothing else.
    void controllerAddresses()
    {
        QFETCH(QString, controller);
        QFETCH(QString, refusal);
        QVERIFY(StartEmulator());
        controller.replace("%port", QString::number(m_emulator->Url().port()));
        m_host = new HostProcess;
        const bool started = m_host->Start({"--controller", controller});
        if (!refusal.isEmpty()) {
            QVERIFY(!started);
            QCOMPARE(m_host->Process().exitCode(), 2);
            QVERIFY2(m_host->Stderr().contains("--controller " + controller + ": " + refusal), qPrintable(m_host->Stderr()));
            delete m_host;
            m_host = nullptr;
            return;
        }
        QVERIFY2(started, qPrintable(m_host->ErrorText()));
        m_client = new TestClient;
        QVERIFY(m_client->Connect(m_host->Url()));
        const QJsonObject report = RunJob(executeJob(twoCaseJob("dev-c"))).value("VALUE").toObject();
        QCOMPARE(report.value("result"), QJsonValue(true));
        QTRY_VERIFY(m_emulator->Stderr().contains("Device dev-c entered auto-test mode"));
    }

    // Two jobs for one device never take turns on it: the second waits for the
    // first to end, a cancelled waiting job leaves the device alone, and a
    // stored plan's waiting job shows as waiting.
    void oneJobPerDevice()
    {
        QVERIFY(StartEmulator() && StartHost());
        TestClient& client = *m_client;
        QCOMPARE(client.Request({{"CMD", "switch_state"}, {"state", "local"}}).value("state").toString(), QStringLiteral("local"));
        QJsonObject first = executeJob(twoCaseJob("devices/dev-w", {delay(600), QJsonArray()}), "first");
        QJsonObject second = executeJob(twoCaseJob("dev-w"), "second");
        QJsonObject third = executeJob(twoCaseJob("dev-w"), "third");
        second.insert("progress", true);
        third.insert("progress", true);
        QJsonObject fourthJob = twoCaseJob("dev-w");
        fourthJob.insert("jobid", 12);
        const QJsonObject fourth = executeJob(fourthJob, "fourth");
        client.Send(first);
        QTRY_VERIFY(m_host->Stderr().contains("Job 11 starts on device dev-w"));
        client.Send(second);
        client.Send(third);
        QTRY_COMPARE(client.Replies().size(), 3);
        QCOMPARE(client.Reply(1), (QJsonObject{{"EVENT", "JobWaiting"}, {"SEQ", "second"}, {"jobid", 11}, {"device", "dev-w"}, {"ahead", 1}}));
        QCOMPARE(client.Reply(2), (QJsonObject{{"EVENT", "JobWaiting"}, {"SEQ", "third"}, {"jobid", 11}, {"device", "dev-w"}, {"ahead", 2}}));
        client.Send(fourth);
        // "CancelJob" ends every job of the id, the running one and the two waiting.
        TestClient other;
        QVERIFY(other.Connect(m_host->Url()));
        QCOMPARE(other.Request({{"CMD", "CancelJob"}, {"jobid", 11}}).value("cancelled").toInt(), 3);
        QTRY_COMPARE_WITH_TIMEOUT(client.Replies().size(), 7, 10000);
        QStringList ends;
        for (int i = 3; i < 7; ++i) {
            const QJsonObject reply = client.Reply(i);
            ends << reply["SEQ"].toString() + " " + reply["VALUE"]["remark"].toString();
        }
        ends.sort();
        QCOMPARE(ends, (QStringList{"first Cancelled", "fourth No Script to Exec", "second Cancelled", "third Cancelled"}));
        // The fourth job ran once the device was free, untouched by the others.
        const QJsonArray tcs = client.Reply(6).value("VALUE")["tcs"].toArray();
        QCOMPARE(client.Reply(6).value("SEQ").toString(), QStringLiteral("fourth"));
        QCOMPARE(pick(tcs, {"result"}), (QJsonArray{QJsonObject{{"result", true}}, QJsonObject{{"result", true}}}));

        // A stored plan's job behind a running job is listed as waiting.
        const QJsonValue content = twoCaseJob("").value("case_list")[0]["content"];
        const int tc = client.Request({{"CMD", "add_tc"}, {"testcase", QJsonObject{{"title", "t"}, {"content", content}}}})
                           .value("testcaseid").toInt();
        const int plan = client.Request({{"CMD", "create_plan"}, {"name", "w"}, {"content", compact({{"case_stratepy", QJsonArray{QJsonArray()}}})}})
                             .value("planid").toInt();
        QCOMPARE(client.Request({{"CMD", "sync_plan"}, {"planid", plan}, {"tclist", QJsonArray{tc}}}).value("result").toString(), QStringLiteral("ok"));
        client.Send(executeJob(twoCaseJob("dev-w", {delay(1500), QJsonArray()}), "blocker"));
        QTRY_VERIFY(m_host->Stderr().count("Job 11 starts on device dev-w") == 2);
        const int before = client.Replies().size();
        const int stored = client.Request({{"CMD", "execute_job_local"}, {"planid", plan}, {"url", "dev-w"}, {"progress", true}, {"SEQ", 4}})
                               .value("jobid").toInt();
        const auto waiting = [&] { return other.Request({{"CMD", "my_jobs"}, {"verdicts", true}}).value("data")[0]["waiting"]; };
        QCOMPARE(waiting(), QJsonValue(true));
        // The answer naming the job comes first, then what became of it.
        QTRY_VERIFY(client.Replies().size() > before + 1);
        QVERIFY2(client.Reply(before).value("result") == QJsonValue("ok"), qPrintable(client.Replies().mid(before).join('\n')));
        QCOMPARE(compact(client.Reply(before + 1)),
                 compact({{"EVENT", "JobWaiting"}, {"SEQ", 4}, {"jobid", stored}, {"device", "dev-w"}, {"ahead", 1}}));
        QTRY_VERIFY_WITH_TIMEOUT(other.Request({{"CMD", "my_jobs"}}).value("data").toArray().isEmpty(), 10000);
        const QJsonObject detail = other.Request({{"CMD", "job_detail"}, {"jobid", stored}, {"verdicts", true}});
        QVERIFY2(detail.value("jobdetail")[0]["verdict"]["status"] == QJsonValue("pass"), qPrintable(compact(detail)));
        QVERIFY(!m_emulator->Stderr().contains("not in auto-test mode"));
    }

    // A host stopped during a job frees what the job holds and exits with 0;
    // a sanitizer build turns anything left behind into a failing exit.
    void hostStoppedDuringAJob()
    {
        QVERIFY(StartEmulator());
        HostProcess host;
        QVERIFY2(host.Start(m_emulator->ControllerOption()), qPrintable(host.ErrorText()));
        TestClient client;
        QVERIFY(client.Connect(host.Url()));
        client.Send(executeJob(twoCaseJob("devices/dev-g", {delay(10000), QJsonArray()})));
        QTRY_VERIFY(m_emulator->Stderr().contains("Device dev-g entered auto-test mode"));
        QVERIFY2(host.Stop(), qPrintable(host.Stderr()));
        QVERIFY(client.Replies().isEmpty());
    }

    // A script that never ends fails its check at the time limit, the job goes
    // on, and other clients are answered meanwhile.
    void scriptsThatNeverEnd()
    {
        QVERIFY(StartEmulator());
        HostProcess host;
        QVERIFY2(host.Start(QStringList{"--script-timeout-ms", "1000"} + m_emulator->ControllerOption()), qPrintable(host.ErrorText()));
        TestClient client, other;
        QVERIFY(client.Connect(host.Url()) && other.Connect(host.Url()));
        const QString loop = "(function(l, g) { while (true) {} })";
        const QJsonObject job{{"url", "dev-h"}, {"jobid", 5}, {"planid", 6},
                              {"case_list", QJsonArray{testcase(1, "Power", "Supply", {item(0, 1)}, loop), testcase(2, "Radio", "Tx", {item(0, 2)})}},
                              {"content", compact({{"execute_script", loop}, {"case_stratepy", QJsonArray{QJsonArray(), QJsonArray()}}})}};

        // The other client asks every 100 ms and notes how long each answer took.
        QList<qint64> sent, latencies;
        QElapsedTimer clock;
        clock.start();
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, &other, [&] { sent << clock.elapsed(); other.Send(QJsonObject{{"CMD", "get_state"}}); });
        connect(&other.Socket(), &QWebSocket::textMessageReceived, &other, [&] { latencies << clock.elapsed() - sent.at(latencies.size()); });
        ticker.start(100);
        client.Send(executeJob(job));
        QVERIFY(client.WaitReplies(1, 10000));
        ticker.stop();
        QTRY_COMPARE(latencies.size(), sent.size());
        // No answer waits much longer than one script's limit; the margin is
        // for a loaded machine, where other tests share both cores.
        const qint64 longest = *std::max_element(latencies.cbegin(), latencies.cend());
        QVERIFY2(longest < 3500, qPrintable(QString("longest wait %1 ms").arg(longest)));

        const QString remark = QStringLiteral("Script Exception: script ran longer than 1000 ms");
        QCOMPARE(client.Reply(0).value("VALUE").toObject(),
                 (QJsonObject{{"jobid", 5}, {"planid", 6}, {"result", false}, {"remark", remark},
                              {"tcs", QJsonArray{QJsonObject{{"id", 1}, {"result", false}, {"remark", remark}},
                                                 QJsonObject{{"id", 2}, {"result", true}, {"remark", "No Script to Exec"}}}}}));
        QVERIFY2(host.Stop(), qPrintable(host.Stderr()));
    }

    // A script that loops for ever (no time limit) holds neither the other
    // clients nor a job on another device; "CancelJob" then ends its job at
    // once, its script process with it.
    void loopingScriptHoldsNoOneElse()
    {
        QVERIFY(StartEmulator());
        HostProcess host;
        QVERIFY2(host.Start(QStringList{"--script-timeout-ms", "0"} + m_emulator->ControllerOption()), qPrintable(host.ErrorText()));
        const qint64 hostPid = host.Process().processId();
        TestClient client, other, bystander;
        QVERIFY(client.Connect(host.Url()) && other.Connect(host.Url()) && bystander.Connect(host.Url()));
        QJsonObject looping = executeJob(scriptJob("dev-loop", 21, {kPass, kLoop}));
        looping.insert("progress", true);
        client.Send(looping);
        // The first case's event: the second case's check comes next and never ends.
        QVERIFY(client.WaitReplies(1, 10000));
        QCOMPARE(client.Reply(0).value("EVENT").toString(), QStringLiteral("JobProgress"));

        for (int i = 0; i < 5; ++i)
            QCOMPARE(bystander.Request({{"CMD", "get_state"}}).value("result").toString(), QStringLiteral("ok"));
        const QJsonObject report = other.Request(executeJob(scriptJob("dev-other", 22, {kPass, kPass})), 20000);
        QCOMPARE(report.value("VALUE")["result"], QJsonValue(true));
        QCOMPARE(report.value("VALUE")["tcs"][1]["result"], QJsonValue(true));
        QCOMPARE(client.Replies().size(), 1);
        // The looping job's script process, and nothing else, is still there.
        QCOMPARE(childrenOf(hostPid).size(), 1);

        QCOMPARE(bystander.Request({{"CMD", "CancelJob"}, {"jobid", 21}}).value("cancelled").toInt(), 1);
        QCOMPARE(client.Replies().size(), 2); // reported before the cancel was answered
        const QJsonObject cancelled = client.Reply(1).value("VALUE").toObject();
        QCOMPARE(cancelled.value("remark").toString(), QStringLiteral("Cancelled"));
        QCOMPARE(cancelled.value("tcs")[1]["remark"].toString(), QStringLiteral("Cancelled"));
        QCOMPARE(childrenOf(hostPid), QStringList());
        QCOMPARE(bystander.Request({{"CMD", "get_state"}}).value("result").toString(), QStringLiteral("ok"));
        QVERIFY2(host.Stop(), qPrintable(host.Stderr()));
    }

    void scriptLimits_data()
    {
        QTest::addColumn<QStringList>("hostOptions");
        QTest::addColumn<QStringList>("scripts");
        // Per case: "pass", or the remark of a case in error; alternatives
        // split by " | ". Each row's first error remark must show at least twice.
        QTest::addColumn<QStringList>("verdicts");
        const QString memory = QStringLiteral("Script used more than 64 MiB");
        const QString bomb = QStringLiteral("(function(l, g) { var s = 'x'; for (;;) s = s + s; })");
        // About 8 MiB more on every check; after a memory failure the next
        // check starts from an empty scope and grows again.
        const QString grow = QStringLiteral("var kept = kept || []; (function(l, g) {"
                                            " for (var i = 0; i < 100000; ++i) kept.push({n: i, s: 'v' + i}); return true; })");
        QStringList scripts{bomb, kPass};
        QStringList verdicts{memory, "pass"};
        for (int i = 0; i < 20; ++i) {
            scripts << grow;
            verdicts << (i < 2 ? QStringLiteral("pass") : "pass | " + memory);
        }
        QTest::newRow("memory") << QStringList{"--script-memory-mib", "64"} << (scripts << kPass) << (verdicts << "pass");
        const QString limit = QStringLiteral("Script Exception: script ran longer than 400 ms");
        const QString budget = QStringLiteral("Script Exception: the job's scripts ran longer than 1000 ms in all");
        QTest::newRow("job budget") << QStringList{"--script-timeout-ms", "400", "--job-script-budget-ms", "1000"}
                                    << QStringList{kPass, kLoop, kLoop, kLoop, kPass}
                                    << QStringList{"pass", limit, limit, budget, budget};
    }

    // A script past a bound fails its own check as an error; the job goes on
    // and the host keeps serving.
    void scriptLimits()
    {
        QFETCH(QStringList, hostOptions);
        QFETCH(QStringList, scripts);
        QFETCH(QStringList, verdicts);
        QVERIFY(StartEmulator());
        HostProcess host;
        QVERIFY2(host.Start(hostOptions + m_emulator->ControllerOption()), qPrintable(host.ErrorText()));
        TestClient client, other;
        QVERIFY(client.Connect(host.Url()) && other.Connect(host.Url()));
        QJsonObject request = executeJob(scriptJob("dev-limits", 23, scripts));
        request.insert("verdicts", true);
        const QJsonObject reply = client.Request(request, 60000);
        QCOMPARE(other.Request({{"CMD", "get_state"}}).value("result").toString(), QStringLiteral("ok"));
        const QJsonArray tcs = reply.value("VALUE")["tcs"].toArray();
        QCOMPARE(tcs.size(), scripts.size());
        QStringList seen;
        QString firstError;
        for (int i = 0; i < tcs.size(); ++i) {
            const QJsonValue tc = tcs.at(i);
            const QString status = tc["verdict"]["status"].toString();
            QVERIFY2(status == (tc["result"].toBool() ? "pass" : "error"), qPrintable(compact(tc.toObject())));
            seen << (tc["result"].toBool() ? QStringLiteral("pass") : tc["remark"].toString());
            QVERIFY2(verdicts.at(i).split(" | ").contains(seen.last()), qPrintable(QString::number(i) + ": " + seen.join(" | ")));
            if (firstError.isEmpty() && seen.last() != "pass")
                firstError = seen.last();
        }
        QVERIFY2(seen.count(firstError) >= 2, qPrintable(seen.join(" | ")));
        QVERIFY2(host.Stop(), qPrintable(host.Stderr()));
    }

    void devicesThatNeverAnswer_data()
    {
        QTest::addColumn<QStringList>("hostOptions");
        QTest::addColumn<QString>("ignored");
        QTest::addColumn<QString>("remark");
        QTest::addColumn<QString>("caseRemark");
        // What the emulator logs when the job's farewell arrives.
        QTest::addColumn<QStringList>("farewell");
        const QStringList timeLimit{"--device-timeout-ms", "500"};
        QTest::newRow("test case unanswered") << timeLimit << "SetCaseData" << "Device request 'SetCaseData' unanswered after 500 ms"
                                              << "Fatal Error" << QStringList{"left auto-test mode after", "Simulator of dev-c stopped"};
        QTest::newRow("simulator unanswered") << timeLimit << "start_sim" << "Device request 'start_sim' unanswered after 500 ms"
                                              << "Fatal Error" << QStringList{"Simulator of dev-c asked to stop"};
        QTest::newRow("cancelled") << QStringList() << "SetCaseData" << "Cancelled" << "Cancelled"
                                   << QStringList{"left auto-test mode after", "Simulator of dev-c stopped"};
    }

    // A device that never answers holds its job until the time limit or a
    // "CancelJob"; either way the device and the simulator are told to stop.
    void devicesThatNeverAnswer()
    {
        QFETCH(QStringList, hostOptions);
        QFETCH(QString, ignored);
        QFETCH(QString, remark);
        QFETCH(QString, caseRemark);
        QFETCH(QStringList, farewell);
        QVERIFY(StartEmulator({"--ignore", ignored}));
        HostProcess host;
        QVERIFY2(host.Start(hostOptions + m_emulator->ControllerOption()), qPrintable(host.ErrorText()));
        TestClient client, other;
        QVERIFY(client.Connect(host.Url()) && other.Connect(host.Url()));
        client.Send(executeJob(twoCaseJob("dev-c")));
        if (caseRemark == "Cancelled") {
            QTRY_VERIFY(m_emulator->Stderr().contains("ignoring SetCaseData"));
            QCOMPARE(other.Request({{"CMD", "CancelJob"}}).value("result").toString(),
                     QStringLiteral("CancelJob needs the \"jobid\" of the job to end"));
            QCOMPARE(other.Request({{"CMD", "CancelJob"}, {"jobid", 12}}).value("cancelled").toInt(), 0);
            QCOMPARE(other.Request({{"CMD", "CancelJob"}, {"jobid", 11}, {"SEQ", 2}}),
                     (QJsonObject{{"result", "ok"}, {"cancelled", 1}, {"SEQ", 2}, {"ERROR", "SUCCESS"}}));
            QCOMPARE(client.Replies().size(), 1); // reported before the cancel was answered
        }
        QVERIFY(client.WaitReplies(1, 5000));
        const auto failed = [&](int id) { return QJsonObject{{"id", id}, {"result", false}, {"remark", caseRemark}}; };
        QCOMPARE(client.Reply(0).value("VALUE").toObject(),
                 (QJsonObject{{"jobid", 11}, {"planid", 5}, {"result", false}, {"remark", remark},
                              {"tcs", QJsonArray{failed(1), failed(2)}}}));
        for (const QString& line : farewell)
            QTRY_VERIFY2(m_emulator->Stderr().contains(line), qPrintable(line));
        QCOMPARE(other.Request({{"CMD", "CancelJob"}, {"jobid", 11}}).value("cancelled").toInt(), 0);
        QVERIFY2(host.Stop(), qPrintable(host.Stderr()));
    }

    void progressEvents_data()
    {
        QTest::addColumn<bool>("stored");
        QTest::addColumn<QJsonValue>("progress");
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<QStringList>("messages");
        // Only JSON true asks; without it every job answers as it always did.
        QTest::newRow("job") << false << QJsonValue(true) << QStringList() << QStringList{"1/2 pass", "2/2 fail", "reply pass fail"};
        QTest::newRow("job, no flag") << false << QJsonValue() << QStringList() << QStringList{"reply pass fail"};
        QTest::newRow("job, flag 1") << false << QJsonValue(1) << QStringList() << QStringList{"reply pass fail"};
        // The device channel goes at the second test case: the events stop and the report comes.
        QTest::newRow("job, link dropped") << false << QJsonValue(true) << QStringList{"--drop-after", "3"}
                                           << QStringList{"1/2 pass", "reply fatal fatal"};
        QTest::newRow("stored plan") << true << QJsonValue(true) << QStringList()
                                     << QStringList{"ok", "1/2 pass", "2/2 fail", "report pass fail recorded"};
        QTest::newRow("stored plan, no flag") << true << QJsonValue() << QStringList() << QStringList{"ok"};
        QTest::newRow("stored plan, link dropped") << true << QJsonValue(true) << QStringList{"--drop-after", "3"}
                                                   << QStringList{"ok", "1/2 pass", "report fatal fatal recorded"};
        // Cancelled while the device holds the first case: recorded as finished, every case failed with the reason.
        QTest::newRow("stored plan, cancelled") << true << QJsonValue(true) << QStringList{"--ignore", "SetCaseData"}
                                                << QStringList{"ok", "report cancelled cancelled recorded"};
    }

    // "progress": true sends one event per finished test case, in order, on
    // the request's connection and with its "SEQ", before the job's report.
    void progressEvents()
    {
        QFETCH(bool, stored);
        QFETCH(QJsonValue, progress);
        QFETCH(QStringList, faults);
        QFETCH(QStringList, messages);
        QVERIFY(StartEmulator(faults) && StartHost());
        TestClient& client = *m_client;
        TestClient other;
        QVERIFY(other.Connect(m_host->Url()));
        // The second case fails its check and waits 400 ms before it ends.
        const QJsonArray cases{testcase(1, "Power", "Supply", {item(0, 12)}, "(function(l, g) { return l.Voltage === 12; })"),
                               testcase(2, "Radio", "Tx", {item(1, 20)}, "(function(l, g) { return l.Power > 30; })")};
        const QString content = compact({{"case_stratepy", QJsonArray{QJsonArray(), delay(400)}}});
        QJsonObject request{{"SEQ", "p"}};
        if (!progress.isUndefined() && !progress.isNull())
            request.insert("progress", progress);
        QList<int> ids{1, 2};
        if (stored) {
            QCOMPARE(client.Request({{"CMD", "switch_state"}, {"state", "local"}}).value("state").toString(), QStringLiteral("local"));
            ids.clear();
            for (const QJsonValue& tc : cases)
                ids << client.Request({{"CMD", "add_tc"}, {"testcase", QJsonObject{{"title", "t"}, {"content", tc["content"]}}}})
                           .value("testcaseid").toInt();
            const int plan = client.Request({{"CMD", "create_plan"}, {"name", "p"}, {"content", content}}).value("planid").toInt();
            QCOMPARE(client.Request({{"CMD", "sync_plan"}, {"planid", plan}, {"tclist", QJsonArray{ids[0], ids[1]}}}).value("result").toString(),
                     QStringLiteral("ok"));
            request.insert("CMD", "execute_job_local");
            request.insert("planid", plan);
            request.insert("url", "dev-q");
        } else {
            request.insert("CMD", "ExecuteJob");
            request.insert("VALUE", QJsonObject{{"url", "dev-q"}, {"jobid", 9}, {"planid", 4}, {"case_list", cases}, {"content", content}});
        }
        const int before = client.Replies().size();
        client.Send(request);
        if (stored && faults.isEmpty()) {
            // The running list counts the finished test cases, asked for or not.
            const auto finished = [&] { return other.Request({{"CMD", "my_jobs"}}).value("data")[0]["fin"].toInt(); };
            QTRY_COMPARE(finished(), 1);
        }
        if (faults.contains("SetCaseData")) {
            QTRY_VERIFY(m_emulator->Stderr().contains("ignoring SetCaseData"));
            QCOMPARE(other.Request({{"CMD", "CancelJob"}, {"jobid", client.Reply(before)["jobid"]}}).value("cancelled").toInt(), 1);
        }
        if (stored)
            QTRY_VERIFY_WITH_TIMEOUT(other.Request({{"CMD", "my_jobs"}}).value("data").toArray().isEmpty(), 10000);
        else
            QTRY_VERIFY_WITH_TIMEOUT(client.Replies().size() >= before + messages.size(), 10000);
        // Anything sent for the job arrives before the answer to a later request.
        QCOMPARE(client.Request({{"CMD", "get_state"}}).value("result").toString(), QStringLiteral("ok"));

        QStringList seen;
        QList<int> tcIds;
        const auto verdict = [](const QJsonValue& tc) {
            return tc["result"].toBool() ? "pass" : tc["remark"] == QStringLiteral("Fatal Error") ? "fatal"
                                                  : tc["remark"] == QStringLiteral("Cancelled") ? "cancelled" : "fail";
        };
        const auto verdicts = [&](const QJsonValue& report) {
            QStringList list;
            for (const QJsonValue& tc : report["tcs"].toArray())
                list << verdict(tc);
            return list.join(' ');
        };
        for (int i = before; i < client.Replies().size() - 1; ++i) {
            const QString text = client.Replies().at(i);
            QVERIFY2(text.contains("\"SEQ\":\"p\""), qPrintable(text));
            const QJsonObject message = client.Reply(i);
            const QString event = message.value("EVENT").toString();
            QCOMPARE(message.contains("ERROR"), event.isEmpty());
            if (event == "JobProgress") {
                seen << QStringLiteral("%1/%2 %3").arg(message["done"].toInt()).arg(message["total"].toInt()).arg(verdict(message["tc"]));
                tcIds << message["tc"]["id"].toInt();
                QCOMPARE(message["jobid"], stored ? client.Reply(before)["jobid"] : QJsonValue(9));
            } else if (event == "JobReport") {
                seen << "report " + verdicts(message["VALUE"]) + (message["recorded"].toBool() ? " recorded" : "");
                QCOMPARE(message["VALUE"]["tcs"][1]["title"].toString(), QStringLiteral("t"));
            } else {
                seen << (stored ? message["result"].toString() : "reply " + verdicts(message["VALUE"]));
            }
        }
        QCOMPARE(seen, messages);
        QCOMPARE(tcIds, ids.mid(0, tcIds.size()));
    }

    // While a case's script judges it the next case is already on the device;
    // what the client sees is as if the cases had run one after another.
    void casesOverlapTheirScripts_data()
    {
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<QStringList>("scripts");
        QTest::addColumn<QStringList>("messages");
        // Busy for 300 ms, long after the next case's data has gone out.
        const QString slow = QStringLiteral("(function(l, g) { var end = Date.now() + 300; while (Date.now() < end) {} "
                                            "return l.Voltage === 12; })");
        const QString fail = QStringLiteral("(function(l, g) { return l.Voltage === 13; })");
        QTest::newRow("a case without a script waits its turn") << QStringList() << QStringList{slow, QString(), fail}
                                                                 << QStringList{"1/3 1 pass", "2/3 2 pass", "3/3 3 fail", "reply pass pass fail"};
        // The device channel goes at the second case's data, sent while the
        // first case's script still runs: that case keeps its verdict.
        QTest::newRow("the device fails the case after a slow one") << QStringList{"--drop-after", "3"} << QStringList{slow, kPass}
                                                                     << QStringList{"1/2 1 pass", "reply pass error"};
    }

    void casesOverlapTheirScripts()
    {
        QFETCH(QStringList, faults);
        QFETCH(QStringList, scripts);
        QFETCH(QStringList, messages);
        QVERIFY(StartEmulator(faults) && StartHost());
        TestClient& client = *m_client;
        QJsonObject request = executeJob(scriptJob("dev-overlap", 31, scripts), "o");
        request.insert("progress", true);
        request.insert("verdicts", true);
        client.Send(request);
        QVERIFY(client.WaitReplies(messages.size(), 20000));
        QCOMPARE(client.Request({{"CMD", "get_state"}}).value("result").toString(), QStringLiteral("ok"));
        QCOMPARE(client.Replies().size(), messages.size() + 1);
        QStringList seen;
        for (int i = 0; i < messages.size(); ++i) {
            const QJsonObject message = client.Reply(i);
            if (message.value("EVENT") == QStringLiteral("JobProgress")) {
                seen << QStringLiteral("%1/%2 %3 %4").arg(message["done"].toInt()).arg(message["total"].toInt())
                            .arg(message["tc"]["id"].toInt()).arg(message["verdict"]["status"].toString());
                continue;
            }
            QStringList statuses;
            for (const QJsonValue& tc : message["VALUE"]["tcs"].toArray())
                statuses << tc["verdict"]["status"].toString();
            seen << "reply " + statuses.join(' ');
        }
        QCOMPARE(seen, messages);
    }

private:
    bool StartEmulator(const QStringList& options = {})
    {
        m_emulator = new HostProcess(QStringLiteral("controller-emulator"));
        if (m_emulator->Start(QStringList{"--template", kTemplate, "--push-interval", "20"} + options))
            return true;
        qWarning("%s", qPrintable(m_emulator->ErrorText()));
        return false;
    }

    // m_host on `controller` (the emulator's by default), and m_client connected to it.
    bool StartHost(const QString& controller = QString())
    {
        m_host = new HostProcess;
        m_client = new TestClient;
        if (m_host->Start(controller.isEmpty() ? m_emulator->ControllerOption() : QStringList{"--controller", controller})
            && m_client->Connect(m_host->Url()))
            return true;
        qWarning("%s", qPrintable(m_host->ErrorText()));
        return false;
    }

    // Sends `request` and returns its one reply, or {} when there was none or more:
    // the host answers a request sent after the reply only after anything else it
    // sent for the job.
    QJsonObject RunJob(const QJsonObject& request)
    {
        const int before = m_client->Replies().size();
        const QJsonObject reply = m_client->Request(request, 20000);
        const QJsonObject state = m_client->Request({{"CMD", "get_state"}});
        if (reply.isEmpty() || state.value("result") != QStringLiteral("ok") || m_client->Replies().size() != before + 2) {
            qWarning("replies:\n%s\nhost log:\n%s", qPrintable(m_client->Replies().join('\n')), qPrintable(m_host->Stderr()));
            return {};
        }
        return reply;
    }

    HostProcess* m_host = nullptr;
    HostProcess* m_emulator = nullptr;
    TestClient* m_client = nullptr;
};

QTEST_GUILESS_MAIN(TstATWorker)
#include "tst_atworker.moc"
