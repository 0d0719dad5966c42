// Mode "remote" through the host: requests forwarded to a scripted
// test-management server on a free port, the switch between its two base
// URLs (127.0.0.1 first, localhost second), and jobs that the server hands
// back to run on the controller emulator.

#include "front/KIVAutoTestConfig.h"
#include "local/JobVerdict.h"
#include "tests/support/FakeRemoteServer.h"
#include "tests/support/HostProcess.h"
#include "tests/support/JsonTools.h"
#include "tests/support/TestClient.h"

#include <QtTest>

class TstRemote : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void answersBecomeReplies_data();
    void answersBecomeReplies();
    void networkErrorsSwitchHost();
    void progressIsLoggedForLargeBodiesOnly();
    void silentServerTimesOut();
    void repliesAreBounded();
    void requestsOfGoneClientsAreAborted();
    void jobsHandedBackRunHere_data();
    void jobsHandedBackRunHere();
    void stationsShareOneServer();

private:
    // The host's remote hosts are the fake server's, unless `arguments` name others.
    void Restart(const QStringList& arguments)
    {
        delete m_client;
        QVERIFY2(m_host->Stop(), qPrintable(m_host->Stderr()));
        QVERIFY2(m_host->Start(HostArguments() + arguments), qPrintable(m_host->ErrorText()));
        m_client = new TestClient;
        QVERIFY(m_client->Connect(m_host->Url()));
    }
    // Sends one more request, answered by the default reply: the Host header it
    // went out with, or the whole reply when that was not "ok".
    // Every "job_report" the server received, parsed.
    QList<QJsonObject> Reports() const
    {
        QList<QJsonObject> reports;
        for (const FakeRemoteServer::Request& request : m_server->Received()) {
            const QJsonObject body = QJsonDocument::fromJson(request.body).object();
            if (body.value("cmd") == QLatin1String("job_report"))
                reports.append(body);
        }
        return reports;
    }
    QStringList HostArguments() const
    {
        const QString port = QString::number(m_server->Port());
        return QStringList{"--remote-hosts", "http://127.0.0.1:" + port + "/api,http://localhost:" + port + "/api"}
            + m_emulator->ControllerOption();
    }
    // The Host header of a request to the fake server by this name.
    QByteArray Named(const char* name) const { return name + (':' + QByteArray::number(m_server->Port())); }
    QByteArray OkHost()
    {
        const QJsonObject reply = m_client->Request({{"CMD", "my_plans"}});
        if (reply.value("result").toString() != QLatin1String("ok"))
            return QJsonDocument(reply).toJson(QJsonDocument::Compact);
        return m_server->Received().last().headers.value("host");
    }

    HostProcess* m_host = nullptr;
    TestClient* m_client = nullptr;
    FakeRemoteServer* m_server = nullptr;
    // The host's controller.
    HostProcess* m_emulator = nullptr;
};

void TstRemote::init()
{
    m_server = new FakeRemoteServer;
    QVERIFY(m_server->Listen());
    m_emulator = new HostProcess(QStringLiteral("controller-emulator"));
    QVERIFY2(m_emulator->Start({"--template", KIV_SOURCE_DIR "/examples/device-template.json", "--push-interval", "20"}),
             qPrintable(m_emulator->ErrorText()));
    m_host = new HostProcess;
    QVERIFY2(m_host->Start(HostArguments()), qPrintable(m_host->ErrorText()));
    m_client = new TestClient;
    QVERIFY(m_client->Connect(m_host->Url()));
}

void TstRemote::cleanup()
{
    delete m_client;
    QVERIFY2(m_host->Stop(), qPrintable(m_host->Stderr()));
    delete m_host;
    delete m_server;
    if (m_emulator)
        QVERIFY2(m_emulator->Stop(), qPrintable(m_emulator->Stderr()));
    delete m_emulator;
    m_emulator = nullptr;
}

void TstRemote::answersBecomeReplies_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QJsonObject>("reply"); // without the envelope's ERROR and SEQ
    // The envelope's keys win over the server's.
    QTest::newRow("object") << 200 << QByteArray(R"({"result":"ok","testcaseid":42,"ERROR":"x","SEQ":"x","nested":{"a":[1,2]}})")
                            << QJsonObject{{"result", "ok"}, {"testcaseid", 42}, {"nested", QJsonObject{{"a", QJsonArray{1, 2}}}}};
    // A redirect is an answer like any other, not followed.
    QTest::newRow("redirect") << 301 << QByteArray(R"({"moved":true})") << QJsonObject{{"moved", true}};
    QTest::newRow("array") << 200 << QByteArray("[1,2]") << QJsonObject{{"result", "Not a json object"}};
    QTest::newRow("html") << 200 << QByteArray("<html>oops</html>") << QJsonObject{{"result", "Json Parse Error: illegal value"}};
    QTest::newRow("empty") << 200 << QByteArray() << QJsonObject{{"result", "Json Parse Error: illegal value"}};
}

void TstRemote::answersBecomeReplies()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QJsonObject, reply);
    // Only the redirect's status gives the Location header a meaning.
    m_server->Queue({status, body, {"Location: http://127.0.0.1:8080/elsewhere"}});
    reply.insert("ERROR", "SUCCESS");
    reply.insert("SEQ", 9);
    QCOMPARE(m_client->Request({{"CMD", "add_tc"}, {"SEQ", 9}, {"testcase", QJsonObject{{"title", "t"}}}}), reply);

    // Posted to the second host, which a fresh service talks to.
    const FakeRemoteServer::Request& sent = m_server->Received().at(0);
    QCOMPARE((QByteArrayList{sent.method, sent.path, sent.headers.value("host"), sent.headers.value("content-type"), sent.body}),
             (QByteArrayList{"POST", "/api", Named("localhost"), "application/x-www-form-urlencoded",
                             R"({"cmd":"add_tc","testcase":{"title":"t"}})"}));
    // None of these is a network error: the host stays.
    QCOMPARE(OkHost(), Named("localhost"));
    QCOMPARE(m_server->Received().size(), 2);
}

void TstRemote::networkErrorsSwitchHost()
{
    // An error status fails like a refused connection. Both requests were sent
    // to the second host, so both switch to the first: once, not back and forth.
    const FakeRemoteServer::Reply broken{503, "{}", {}};
    m_server->Queue(broken);
    m_server->Queue(broken);
    m_client->Send(QJsonObject{{"CMD", "a"}});
    m_client->Send(QJsonObject{{"CMD", "b"}});
    QVERIFY(m_client->WaitReplies(2));
    for (int i = 0; i < 2; ++i)
        QVERIFY(m_client->Reply(i).value("result").toString().startsWith("Network Error: "));
    QCOMPARE(OkHost(), Named("127.0.0.1"));

    // The next failure moves back to the second. The server comes back on its own port.
    const quint16 port = m_server->Port();
    delete m_server;
    m_server = nullptr;
    const QString refused = m_client->Request({{"CMD", "my_plans"}}, 15000).value("result").toString();
    QVERIFY2(refused.startsWith("Network Error: "), qPrintable(refused));
    m_server = new FakeRemoteServer;
    QVERIFY(m_server->Listen(port));
    QCOMPARE(OkHost(), Named("localhost"));
}

void TstRemote::progressIsLoggedForLargeBodiesOnly()
{
    for (const int size : {60 * 1024, 100 * 1024}) {
        // Five pieces 40 ms apart, so that the transport sees progress several times.
        m_server->Queue({200, "{\"pad\":\"" + QByteArray(size - 10, 'x') + "\"}", {}, 5, 40});
        QCOMPARE(m_client->Request({{"CMD", "fetch"}}).value("pad").toString().size(), size - 10);
        if (size <= 64 * 1024)
            QVERIFY(!m_host->Stderr().contains("Downloading ["));
    }
    const QString log = m_host->Stderr();
    QVERIFY2(log.count(QRegularExpression(R"(\[2\] WebFileGetter WebFileGetter::OnProgress: Downloading \[api\] +\d+% +\d+\.\d\d kB/s)")) >= 2,
             qPrintable(log));
    QVERIFY(log.contains(QRegularExpression(R"(Downloading \[api\] 100% )")));
}

void TstRemote::silentServerTimesOut()
{
    // A host told nothing says where it looks; it sends nothing there here.
    HostProcess defaults;
    QVERIFY2(defaults.Start(), qPrintable(defaults.ErrorText()));
    const KIVAutoTestOptions options;
    QVERIFY(defaults.Stderr().contains("Remote test-management hosts: first " + options.remoteFirst + ", second "
                                       + options.remoteSecond + " (the defaults, both this machine;"));
    QVERIFY(defaults.Stderr().contains("Controller " + options.controller + "\n"));
    QVERIFY2(defaults.Stop(), qPrintable(defaults.Stderr()));
    Restart({"--remote-timeout-ms", "300"});
    m_server->Queue({200, "{}", {}, 1, 0, true});
    const QJsonObject reply = m_client->Request({{"CMD", "my_plans"}, {"SEQ", 1}});
    QCOMPARE(reply.value("result").toString(), QStringLiteral("Network Error: no answer from the remote server within 300 ms"));
    // A time-out counts as a network error: the next request goes to the other host.
    QCOMPARE(OkHost(), Named("127.0.0.1"));
}

void TstRemote::repliesAreBounded()
{
    Restart({"--max-remote-reply-mib", "1"});
    const int limit = 1024 * 1024;
    const auto body = [](int size) { return "{\"pad\":\"" + QByteArray(size - 10, 'x') + "\"}"; };
    m_server->Queue({200, body(limit), {}});
    QCOMPARE(m_client->Request({{"CMD", "a"}}).value("pad").toString().size(), limit - 10);
    // One byte more fails, whether the length is announced or not, and the host stays.
    const QString tooLarge = "Network Error: the remote reply was too large: more than 1048576 bytes";
    m_server->Queue({200, body(limit + 1), {}});
    QCOMPARE(m_client->Request({{"CMD", "b"}}).value("result").toString(), tooLarge);
    FakeRemoteServer::Reply unannounced{200, body(4 * limit), {}};
    unannounced.noLength = true;
    m_server->Queue(unannounced);
    QCOMPARE(m_client->Request({{"CMD", "c"}}).value("result").toString(), tooLarge);
    QCOMPARE(OkHost(), Named("localhost"));
}

void TstRemote::requestsOfGoneClientsAreAborted()
{
    // Six unanswered requests take every connection the transport opens to
    // a host; the rest queue behind them. When their client goes, all go.
    for (int i = 0; i < 6; ++i)
        m_server->Queue({200, "{}", {}, 1, 0, true});
    {
        TestClient gone;
        QVERIFY(gone.Connect(m_host->Url()));
        for (int i = 0; i < 200; ++i)
            gone.Send(QJsonObject{{"CMD", "my_plans"}, {"SEQ", i}});
        QTRY_COMPARE(m_server->Received().size(), 6);
    }
    QTRY_VERIFY(m_host->Stderr().contains("Aborting 200 remote request(s) of clients that have gone"));
    QCOMPARE(OkHost(), Named("localhost"));
    QCOMPARE(m_server->Received().size(), 7);
}

namespace {

QJsonObject remoteJob(int firstDelayMs)
{
    const auto testcase = [](int id, const char* group, int value, const char* script) {
        const QJsonObject content{{"MODULE_NAME", group == QLatin1String("Tx") ? "Radio" : "Power"}, {"GROUP_NAME", group},
                                  {"DATA", QJsonArray{QJsonObject{{"INDEX", 0}, {"VALUE", value}}}}, {"execute_script", script}};
        return QJsonObject{{"testcaseid", id}, {"content", compact(content)}};
    };
    const QJsonObject content{{"case_stratepy", QJsonArray{QJsonArray{QJsonObject{{"type", "s_deplay"}, {"time", firstDelayMs}}},
                                                           QJsonArray()}}};
    return {{"url", "devices/station-1"}, {"jobid", 7}, {"planid", 3},
            {"content", compact(content)},
            {"case_list", QJsonArray{testcase(31, "Supply", 12, "(function (l) { return l.Voltage === 12; })"),
                                     testcase(32, "Tx", 20, "(function (l) { return l.Power > 30; })")}}};
}

} // namespace

void TstRemote::jobsHandedBackRunHere_data()
{
    QTest::addColumn<QJsonValue>("job");          // the "job" of the server's answer; undefined: none
    QTest::addColumn<QList<int>>("reportStatus"); // the server's HTTP status for each "job_report" until it takes one
    QTest::addColumn<QString>("then");            // what the client does after the answer: "", "cancel", "stop"
    QTest::addColumn<QString>("remark");          // the report's remark; empty: no report is posted
    QTest::addColumn<QJsonArray>("verdicts");     // its test cases' "result"

    const QJsonArray failed{false, false};
    QTest::newRow("runs and reports") << QJsonValue(remoteJob(0)) << QList<int>{} << "" << "No Script to Exec" << QJsonArray{true, false};
    // Failed posts are tried again, after 1 s and then 2 s, whether the
    // server was unreachable or answered with something other than "ok".
    QTest::newRow("report retried") << QJsonValue(remoteJob(0)) << QList<int>{503, 200} << "" << "No Script to Exec" << QJsonArray{true, false};
    QTest::newRow("cancelled") << QJsonValue(remoteJob(60000)) << QList<int>{} << "cancel" << "Cancelled" << failed;
    QTest::newRow("host stops mid-job") << QJsonValue(remoteJob(60000)) << QList<int>{} << "stop" << "" << QJsonArray();
    QTest::newRow("no job") << QJsonValue(QJsonValue::Undefined) << QList<int>{} << "" << "" << QJsonArray();
    QTest::newRow("job not an object") << QJsonValue("x") << QList<int>{} << "" << "" << QJsonArray();
}

void TstRemote::jobsHandedBackRunHere()
{
    QFETCH(QJsonValue, job);
    QFETCH(QList<int>, reportStatus);
    QFETCH(QString, then);
    QFETCH(QString, remark);
    QFETCH(QJsonArray, verdicts);

    QJsonObject answer{{"result", "ok"}, {"cmd", "execute_job_local"}, {"planid", 3}, {"jobid", 7}};
    if (!job.isUndefined())
        answer.insert("job", job);
    m_server->Queue({200, QJsonDocument(answer).toJson(QJsonDocument::Compact), {}});
    for (const int status : reportStatus)
        m_server->Queue({status, status == 200 ? R"({"result":"database is restarting"})" : "{}", {}});
    QJsonObject expected = answer;
    if (job.isObject())
        expected.remove("job");
    expected.insert("ERROR", "SUCCESS");
    expected.insert("SEQ", 5);
    // Jobs left to run ask for progress, which must not change the reply.
    QJsonObject request{{"CMD", "execute_job_local"}, {"planid", 3}, {"url", "devices/station-1"}, {"SEQ", 5}};
    if (then.isEmpty())
        request.insert("progress", true);
    QCOMPARE(m_client->Request(request), expected);

    if (then == QLatin1String("cancel"))
        QCOMPARE(m_client->Request({{"CMD", "CancelJob"}, {"jobid", 7}}).value("cancelled").toInt(), 1);
    if (then == QLatin1String("stop"))
        QVERIFY2(m_host->Stop(), qPrintable(m_host->Stderr()));
    if (remark.isEmpty()) {
        // Only a report that reached the transport could have been posted.
        QVERIFY(!m_host->Stderr().contains("Report of job"));
        QVERIFY(m_host->Stop());
        QCOMPARE(Reports(), QList<QJsonObject>());
        return;
    }
    QTRY_COMPARE_WITH_TIMEOUT(Reports().size(), reportStatus.size() + 1, 15000);
    // Every try carries the same report; each failure is a warning.
    const QJsonObject report = Reports().first();
    for (const QJsonObject& again : Reports())
        QCOMPARE(again, report);
    QCOMPARE(m_server->Received().last().path, QByteArray("/api"));
    QCOMPARE(report.value("jobid").toInt(), 7);
    const QJsonObject value = report.value("report").toObject().value("VALUE").toObject();
    QCOMPARE(report.value("report").toObject().keys(), QStringList{"VALUE"});
    QCOMPARE(QJsonArray({value.value("jobid"), value.value("planid"), value.value("remark")}), QJsonArray({7, 3, remark}));
    QJsonArray results;
    for (const QJsonValue& tc : value.value("tcs").toArray())
        results.append(tc.toObject().value("result"));
    QCOMPARE(results, verdicts);
    if (then.isEmpty()) {
        // The client that asked saw each case finish, then the report.
        QTRY_COMPARE(m_client->Replies().size(), verdicts.size() + 2);
        for (int i = 0; i < verdicts.size(); ++i) {
            const QJsonObject event = m_client->Reply(i + 1);
            QCOMPARE(QJsonArray({event.value("EVENT"), event.value("SEQ"), event.value("done"), event.value("total")}),
                     QJsonArray({"JobProgress", 5, i + 1, verdicts.size()}));
        }
        // The server gets each verdict as the record keeps it; the client, which did
        // not ask for verdicts, the plain report.
        const QJsonObject last = m_client->Reply(verdicts.size() + 1);
        QCOMPARE(last.value("EVENT").toString(), QStringLiteral("JobReport"));
        QJsonObject plain{{"VALUE", value}};
        JobVerdict::Strip(plain);
        QVERIFY(value.value("verdict").isObject() && plain.value("VALUE").toObject() != value);
        QCOMPARE(last.value("VALUE").toObject(), plain.value("VALUE").toObject());
    }
    QTRY_VERIFY(m_host->Stderr().contains("Report of job 7 delivered to http://" + Named("localhost") + "/api"));
    QCOMPARE(m_host->Stderr().count(QRegularExpression(R"(\[1\] RemoteJobs RemoteJobs::OnAnswer: Report of job 7 to \S+ failed: )")),
             reportStatus.size());
}

void TstRemote::stationsShareOneServer()
{
    // The real server instead of the fake one. m_host is the first station.
    HostProcess server(QStringLiteral("autotest-server"));
    QVERIFY2(server.Start(), qPrintable(server.ErrorText()));
    const QStringList remoteHosts{"--remote-hosts", server.Url().toString() + ',' + server.Url().toString()};
    Restart(remoteHosts);
    HostProcess secondHost;
    QVERIFY2(secondHost.Start(remoteHosts + m_emulator->ControllerOption()), qPrintable(secondHost.ErrorText()));
    TestClient second;
    QVERIFY(second.Connect(secondHost.Url()));
    TestClient* const stations[] = {m_client, &second};

    // Each station stores the README's two test cases (the second fails on
    // purpose) and a plan whose first case waits 2 s, so that the jobs overlap.
    const auto example = [](const char* name) { return readJsonFile(QStringLiteral(KIV_SOURCE_DIR "/examples/local/%1.json").arg(name)); };
    QJsonObject plan = example("create-plan");
    plan.insert("content", R"j({"execute_script":"(function (l, g) { return g.Power.Battery.Voltage.length > 0; })",)j"
                           R"j("case_stratepy":[[{"type":"s_deplay","time":2000}],[]]})j");
    for (int i = 0; i < 2; ++i) {
        QJsonArray tclist;
        for (const char* name : {"add-tc-supply", "add-tc-radio"})
            tclist.append(stations[i]->Request(example(name)).value("testcaseid"));
        const QJsonValue planId = stations[i]->Request(plan).value("planid");
        QCOMPARE(stations[i]->Request({{"CMD", "sync_plan"}, {"planid", planId}, {"tclist", tclist}}).value("data").toArray().size(), 2);
        stations[i]->Send(QJsonObject{{"CMD", "execute_job_local"}, {"planid", planId}, {"starter", QStringLiteral("station-%1").arg(i + 1)},
                                      {"url", QStringLiteral("devices/bench-0%1").arg(i + 1)}});
    }
    QJsonArray jobs;
    for (int i = 0; i < 2; ++i) {
        QVERIFY(stations[i]->WaitReplies(5));
        const QJsonObject reply = stations[i]->Reply(4);
        QVERIFY2(reply.value("result") == QLatin1String("ok") && !reply.contains("job"), QJsonDocument(reply).toJson());
        jobs.prepend(reply.value("jobid")); // highest id first, as "my_reports" lists them
    }
    QCOMPARE(pick(m_client->Request({{"CMD", "my_jobs"}}).value("data").toArray(), {"status"}),
             (QJsonArray{QJsonObject{{"status", 2}}, QJsonObject{{"status", 2}}}));

    // A third client, on either host, sees both stations' results.
    TestClient third;
    QVERIFY(third.Connect(secondHost.Url()));
    const auto reports = [&] {
        QJsonArray ids;
        for (const QJsonValue& job : third.Request({{"CMD", "my_reports"}}).value("data").toArray())
            ids.append(job.toObject().value("jobid"));
        return ids;
    };
    QTRY_COMPARE_WITH_TIMEOUT(reports(), jobs, 20000);
    for (const QJsonValue& job : jobs) {
        const QJsonObject detail = third.Request({{"CMD", "job_detail"}, {"jobid", job}});
        QCOMPARE(pick(detail.value("job").toObject(), {"status", "fin", "total"}), (QJsonObject{{"status", 3}, {"fin", 2}, {"total", 2}}));
        QCOMPARE(pick(detail.value("jobdetail").toArray(), {"seqidx", "status"}),
                 (QJsonArray{QJsonObject{{"seqidx", 0}, {"status", "pass"}}, QJsonObject{{"seqidx", 1}, {"status", "fail"}}}));
        QCOMPARE(third.Request({{"CMD", "job_info"}, {"jobid", job}}).value("starter").toString(),
                 QStringLiteral("station-%1").arg(job == jobs.last() ? 1 : 2));
    }
    QCOMPARE(m_client->Request({{"CMD", "my_jobs"}}).value("data").toArray(), QJsonArray());
    for (HostProcess* process : {&secondHost, &server})
        QVERIFY2(process->Stop(), qPrintable(process->Stderr()));
}

QTEST_GUILESS_MAIN(TstRemote)
#include "tst_remote.moc"
