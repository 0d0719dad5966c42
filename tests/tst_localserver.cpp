// The test-management commands through the host over a real connection:
// test cases, plans, a stored plan run on the controller emulator, and the
// records it leaves. Every test runs in mode "local" and in mode "remote"
// against autotest-server, on SQLite and on PostgreSQL (when KIV_TEST_PGURL
// names a cluster, see tools/pgtest.sh): a client must not be able to tell
// them apart by the replies.

#include "tests/support/HostProcess.h"
#include "tests/support/JsonTools.h"
#include "tests/support/PgTestDatabase.h"
#include "tests/support/RefusingPort.h"
#include "tests/support/TestClient.h"

#include <QDir>
#include <QFile>
#include <QtTest>

#include <algorithm>
#include <csignal>
#include <memory>

namespace {

QJsonObject newTestcase(const QString& title, const QString& path)
{
    return {{"projectid", 1}, {"title", title}, {"path", path}, {"author", "qa"}, {"tags", "smoke"},
            {"content", R"({"MODULE_NAME":"Power","GROUP_NAME":"Supply","DATA":[{"INDEX":0,"VALUE":1}]})"}};
}

} // namespace

class TstLocalServer : public QObject
{
    Q_OBJECT
    // Null in mode "local"; m_pg only on PostgreSQL.
    std::unique_ptr<HostProcess> m_server;
    std::unique_ptr<PgTestDatabase> m_pg;
    std::unique_ptr<HostProcess> m_host;
    std::unique_ptr<TestClient> m_client;
    // The host's controller, started before it.
    std::unique_ptr<HostProcess> m_emulator;
    QString m_controller;
    const RefusingPort m_refusing;

    QJsonObject Ask(const QJsonObject& request) { return m_client->Request(request); }
    QString Result(const QJsonObject& request) { return Ask(request).value("result").toString(); }
    QJsonArray Data(const QJsonObject& request) { return Ask(request).value("data").toArray(); }

    bool StartServer()
    {
        return m_server->Start(m_pg ? QStringList{"--database", m_pg->Url()} : QStringList());
    }

    // Starts the host on its application directory (pointed at the server, if any), connects
    // and switches to the mode under test; a failed start leaves its reason in m_host->ErrorText().
    bool StartHost()
    {
        m_client.reset(new TestClient);
        QStringList arguments{"--controller", m_controller};
        if (m_server)
            arguments << "--remote-hosts" << m_server->Url().toString() + "," + m_server->Url().toString();
        const QString mode = m_server ? "remote" : "local";
        return m_host->Start(arguments) && m_client->Connect(m_host->Url())
            && Ask({{"CMD", "switch_state"}, {"state", mode}}).value("state").toString() == mode;
    }

    // A new host (and server) on the same application directory and database.
    bool Restart()
    {
        m_client.reset();
        if (!m_host->Stop() || (m_server && !(m_server->Stop() && StartServer())))
            return false;
        return StartHost();
    }

    int AddTestcase(const QJsonObject& testcase) { return Ask({{"CMD", "add_tc"}, {"testcase", testcase}}).value("testcaseid").toInt(); }

private Q_SLOTS:
    void initTestCase_data()
    {
        QTest::addColumn<QString>("backend");
        QTest::newRow("local") << "local";
        QTest::newRow("server-sqlite") << "sqlite";
        QTest::newRow("server-postgresql") << "postgresql";
    }

    void init()
    {
        QFETCH_GLOBAL(QString, backend);
        m_host.reset();
        m_server.reset();
        m_emulator.reset();
        m_pg.reset();
        if (backend == "postgresql" && !PgTestDatabase::Available())
            QSKIP("KIV_TEST_PGURL is not set (tools/pgtest.sh start)");
        if (backend != "local") {
            m_server.reset(new HostProcess("autotest-server"));
            if (backend == "postgresql") {
                m_pg.reset(new PgTestDatabase);
                QVERIFY2(m_pg->Create(), qPrintable(m_pg->ErrorText()));
            }
            QVERIFY2(StartServer(), qPrintable(m_server->ErrorText()));
        }
        m_emulator.reset(new HostProcess(QStringLiteral("controller-emulator")));
        QVERIFY2(m_emulator->Start({"--template", KIV_SOURCE_DIR "/examples/device-template.json", "--push-interval", "20"}),
                 qPrintable(m_emulator->ErrorText()));
        m_controller = m_emulator->Url().toString();
        m_host.reset(new HostProcess);
        QVERIFY2(StartHost(), qPrintable(m_host->ErrorText()));
    }

    void cleanup()
    {
        m_client.reset();
        if (m_host)
            QVERIFY2(m_host->Stop(), qPrintable(m_host->Stderr()));
        if (m_server)
            QVERIFY2(m_server->Stop(), qPrintable(m_server->Stderr()));
        if (m_emulator)
            QVERIFY2(m_emulator->Stop(), qPrintable(m_emulator->Stderr()));
        m_pg.reset();
    }

    void testcasesAndPaging()
    {
        const QJsonObject first = newTestcase("first", "radio/tx");
        const int id = AddTestcase(first);
        QJsonObject reply = Ask({{"CMD", "fetch_tc"}, {"testcaseid", id}, {"SEQ", 4}});
        QCOMPARE(pick(reply, {"result", "cmd", "SEQ"}), (QJsonObject{{"result", "ok"}, {"cmd", "fetch_tc"}, {"SEQ", 4}}));
        QCOMPARE(pick(reply, first.keys()), first);
        QVERIFY(QDateTime::fromString(reply.value("date").toString(), "yyyy-MM-dd hh:mm:ss").isValid());

        for (int i = 1; i < 25; ++i)
            QVERIFY(AddTestcase(newTestcase(QStringLiteral("tc %1").arg(i), "radio/rx")) > 0);
        QVERIFY(AddTestcase(newTestcase("elsewhere", "power")) > 0);
        // "count maxpage page rows": the page as asked, pages below 1 reading the first; no path lists all.
        const auto paging = [&](QJsonObject request) {
            request.insert("CMD", "proj_tcs");
            const QJsonObject page = Ask(request);
            return QStringLiteral("%1 %2 %3 %4").arg(page.value("count").toInt()).arg(page.value("maxpage").toInt())
                .arg(page.value("page").toInt()).arg(page.value("data").toArray().size());
        };
        QCOMPARE(paging({{"path", "radio"}, {"size", 10}, {"page", 3}}), QStringLiteral("25 3 3 5"));
        QCOMPARE(paging({{"path", "radio"}, {"size", 10}, {"page", 0}}), QStringLiteral("25 3 0 10"));
        QCOMPARE(paging({}), QStringLiteral("26 26 1 1"));
        QCOMPARE(Ask({{"CMD", "proj_tcs"}, {"path", "nowhere"}, {"size", 10}}), (QJsonObject{{"ERROR", "SUCCESS"}, {"cmd", "proj_tcs"},
                 {"result", "ok"}, {"maxpage", 0}, {"count", 0}, {"page", 1}, {"data", QJsonArray()}}));
        QCOMPARE(Result({{"CMD", "proj_tcs"}, {"size", 0}}), QStringLiteral("size must be 1 or more"));

        // Update overrides from "attrs"; fields given nowhere are written empty.
        QCOMPARE(Result({{"CMD", "update_tc"}, {"testcaseid", id}}), QStringLiteral("Json no attrs"));
        QCOMPARE(Result({{"CMD", "update_tc"}, {"testcaseid", id}, {"title", "old"},
                         {"attrs", QJsonObject{{"title", "new"}, {"content", "{}"}}}}), QStringLiteral("ok"));
        QCOMPARE(pick(Ask({{"CMD", "fetch_tc"}, {"testcaseid", id}}), {"title", "author"}),
                 (QJsonObject{{"title", "new"}, {"author", ""}}));
        QCOMPARE(Result({{"CMD", "del_tc"}, {"testcaseid", id}}), QStringLiteral("ok"));
        reply = Ask({{"CMD", "fetch_tc"}, {"testcaseid", id}});
        QVERIFY(reply.value("result").toString() != QLatin1String("ok") && !reply.contains("title"));

        QCOMPARE(Result({{"CMD", "add_tc"}, {"testcase", "x"}}), QStringLiteral("Json no testcase"));
        // A test case without a title breaks a not-null constraint (each database words it its own way).
        QVERIFY(Result({{"CMD", "add_tc"}, {"testcase", QJsonObject{{"content", "{}"}}}})
                    .contains(QRegularExpression("not.null", QRegularExpression::CaseInsensitiveOption)));
        QCOMPARE(Ask({{"CMD", "nope"}}),
                 (QJsonObject{{"ERROR", "SUCCESS"}, {"cmd", "nope"}, {"result", "Local AT Server not support cmd: nope"}}));
    }

    // Text that neither database can keep as it came is refused, naming the
    // field, and nothing is stored; a pair of surrogates arrives whole.
    void textThatIsNotText_data()
    {
        QTest::addColumn<QString>("request"); // JSON text: escapes reach the service as the characters they stand for
        QTest::addColumn<QString>("result");
        // Written without raw strings, which moc does not read.
        QTest::newRow("NUL in a title") << "{\"CMD\":\"add_tc\",\"testcase\":{\"projectid\":1,\"title\":\"a\\u0000b\",\"content\":\"{}\"}}"
                                        << "title holds a NUL character; nothing was stored";
        QTest::newRow("lone surrogate in content")
            << "{\"CMD\":\"add_tc\",\"testcase\":{\"projectid\":1,\"title\":\"t\",\"content\":\"{\\\"x\\\":\\\"\\ud800\\\"}\"}}"
            << "content holds an unpaired surrogate (U+D800); nothing was stored";
        QTest::newRow("low surrogate in a plan's name") << "{\"CMD\":\"create_plan\",\"projectid\":1,\"name\":\"p\\udc00q\"}"
                                                        << "name holds an unpaired surrogate (U+DC00); nothing was stored";
        QTest::newRow("NUL in an update")
            << "{\"CMD\":\"update_tc\",\"testcaseid\":1,\"attrs\":{\"title\":\"x\",\"content\":\"{}\",\"path\":\"a\\u0000\"}}"
            << "path holds a NUL character; nothing was stored";
    }

    void textThatIsNotText()
    {
        QFETCH(QString, request);
        QFETCH(QString, result);
        const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80");
        const int id = AddTestcase(newTestcase("keep " + emoji, "text"));
        const int plans = Ask({{"CMD", "create_plan"}, {"projectid", 1}, {"name", "n"}}).value("planid").toInt();
        QCOMPARE(m_client->RequestText(request).value("result").toString(), result);
        // Nothing changed: the test cases and plans are as they were, a pair of surrogates kept whole.
        QCOMPARE(Ask({{"CMD", "proj_tcs"}, {"size", 100}}).value("count").toInt(), 1);
        QCOMPARE(Ask({{"CMD", "fetch_tc"}, {"testcaseid", id}}).value("title").toString(), "keep " + emoji);
        QVERIFY(Ask({{"CMD", "plan_info"}, {"planid", plans + 1}}).value("result").toString() != QLatin1String("ok"));
    }

    void plansAndAJobWithoutController()
    {
        const int a = AddTestcase(newTestcase("a", "p"));
        const int b = AddTestcase(newTestcase("b", "p"));
        QJsonObject reply = Ask({{"CMD", "create_plan"}, {"projectid", 1}, {"name", "nightly"}, {"tags", QJsonArray{"night"}},
                                 {"content", "{}"}});
        QCOMPARE(reply.value("result").toString(), QStringLiteral("ok"));
        const int plan = reply.value("planid").toInt();
        QCOMPARE(reply.value("plan").toObject().value("tags").toArray(), QJsonArray{"night"});
        QCOMPARE(Result({{"CMD", "execute_job_local"}, {"planid", plan}}), QStringLiteral("URL is empty."));
        QCOMPARE(Result({{"CMD", "execute_job_local"}, {"planid", plan}, {"url", "d/1"}}),
                 QStringLiteral("Test plan has no testcase to execute"));

        QCOMPARE(Data({{"CMD", "sync_plan"}, {"planid", plan}, {"tclist", QJsonArray{b, a}}}).size(), 2);
        reply = Ask({{"CMD", "my_plans"}, {"tags", QJsonArray{"night"}}, {"size", 5}});
        QCOMPARE(reply.value("count").toInt(), 1);
        QCOMPARE(pick(reply.value("data").toArray(), {"name"}), (QJsonArray{QJsonObject{{"name", "nightly"}}}));
        QCOMPARE(Ask({{"CMD", "my_plans"}, {"tags", QJsonArray{"day"}}, {"size", 5}}),
                 (QJsonObject{{"ERROR", "SUCCESS"}, {"cmd", "my_plans"}, {"result", ""}}));

        QCOMPARE(Result({{"CMD", "update_plan"}, {"planid", plan}, {"name", "weekly"}}), QStringLiteral("ok"));
        QCOMPARE(Ask({{"CMD", "plan_info"}, {"planid", plan}}).value("name").toString(), QStringLiteral("weekly"));

        // No controller listening: the worker fails as a whole before any test case, its report
        // holding one "Fatal Error" entry per case.
        m_client.reset();
        QVERIFY(m_host->Stop());
        m_controller = m_refusing.Url();
        QVERIFY2(StartHost(), qPrintable(m_host->ErrorText()));
        const int job = Ask({{"CMD", "execute_job_local"}, {"planid", plan}, {"url", "nobody"}}).value("jobid").toInt();
        QTRY_VERIFY_WITH_TIMEOUT(Data({{"CMD", "my_jobs"}}).isEmpty(), 15000);
        QCOMPARE(pick(Ask({{"CMD", "job_detail"}, {"jobid", job}}).value("jobdetail").toArray(), {"status"}),
                 (QJsonArray{QJsonObject{{"status", "fail"}}, QJsonObject{{"status", "fail"}}}));
        QCOMPARE(pick(Ask({{"CMD", "job_info"}, {"jobid", job}}), {"status", "fin"}), (QJsonObject{{"status", 3}, {"fin", 2}}));
        QCOMPARE(Ask({{"CMD", "del_plan"}, {"planid", plan}}),
                 (QJsonObject{{"ERROR", "SUCCESS"}, {"cmd", "del_plan"}, {"result", "ok"}, {"planid", plan}}));
        QCOMPARE(Data({{"CMD", "plan_tcs"}, {"planid", plan}}), QJsonArray());
    }

    void storedPlanRunsAndSurvivesRestart()
    {
        // The README's workflow files: two test cases (the second fails on
        // purpose), a plan whose first case waits 500 ms, and its job.
        QJsonObject reply;
        for (const char* name : {"add-tc-supply", "add-tc-radio", "create-plan", "sync-plan", "execute-job"}) {
            reply = Ask(readJsonFile(QStringLiteral(KIV_SOURCE_DIR "/examples/local/%1.json").arg(name)));
            QVERIFY2(reply.value("result").toString() == QLatin1String("ok"), qPrintable(name + (": " + compact(reply))));
        }
        const int job = reply.value("jobid").toInt();

        // Listed as running, and not as a report, while the first case waits its post-delay.
        QCOMPARE(pick(Data({{"CMD", "my_jobs"}}), {"jobid", "status", "total"}),
                 QJsonArray{QJsonObject({{"jobid", job}, {"status", 2}, {"total", 2}})});
        QCOMPARE(Data({{"CMD", "my_reports"}}), QJsonArray());
        QTRY_VERIFY_WITH_TIMEOUT(Data({{"CMD", "my_jobs"}}).isEmpty(), 15000);
        QCOMPARE(pick(Data({{"CMD", "my_reports"}}), {"jobid", "status"}), QJsonArray{QJsonObject({{"jobid", job}, {"status", 3}})});

        const auto records = [&] {
            const QJsonObject detail = Ask({{"CMD", "job_detail"}, {"jobid", job}});
            return QJsonObject{{"job", pick(detail.value("job").toObject(), {"fin", "starter", "status"})},
                               {"details", pick(detail.value("jobdetail").toArray(), {"seqidx", "testcaseid", "status"})}};
        };
        const QJsonObject expected{{"job", QJsonObject{{"fin", 2}, {"starter", "newcomer"}, {"status", 3}}},
                                   {"details", QJsonArray{QJsonObject{{"seqidx", 0}, {"testcaseid", 1}, {"status", "pass"}},
                                                          QJsonObject{{"seqidx", 1}, {"testcaseid", 2}, {"status", "fail"}}}}};
        QCOMPARE(records(), expected);
        // A new host (and server) on the same application directory and database reads the same records.
        QVERIFY2(Restart(), qPrintable(m_host->ErrorText()));
        QCOMPARE(records(), expected);
    }

    // A plan changed and a test case deleted while the plan's job runs: the
    // job's record holds the verdicts of the cases it ran, each against its
    // own case; only the deleted case's detail goes with it.
    void recordFollowsTheJob()
    {
        const auto testcase = [&](const QString& title, const QString& check) {
            QJsonObject tc = newTestcase(title, "record/" + title);
            tc.insert("content", compact({{"MODULE_NAME", "Power"}, {"GROUP_NAME", "Supply"}, {"DATA", QJsonArray{QJsonObject{{"INDEX", 0}, {"VALUE", 12}}}},
                                          {"execute_script", "(function(l, g) { return l.Voltage " + check + "; })"}}));
            return AddTestcase(tc);
        };
        const int a = testcase("A", "=== 12"), b = testcase("B", "=== 12"), c = testcase("C", "=== 99"), d = testcase("D", "> 0");
        // A holds the job in its post-delay while the plan and B change.
        const QJsonArray strategies{QJsonArray{QJsonObject{{"type", "s_deplay"}, {"time", 3000}}}, QJsonArray(), QJsonArray(), QJsonArray()};
        const int plan = Ask({{"CMD", "create_plan"}, {"projectid", 1}, {"name", "moving"}, {"content", compact({{"case_stratepy", strategies}})}})
                             .value("planid").toInt();
        QCOMPARE(Data({{"CMD", "sync_plan"}, {"planid", plan}, {"tclist", QJsonArray{a, b, c, d}}}).size(), 4);
        const int job = Ask({{"CMD", "execute_job_local"}, {"planid", plan}, {"url", "devices/dev-r"}}).value("jobid").toInt();
        QTRY_VERIFY(m_emulator->Stderr().contains("Device dev-r entered auto-test mode"));
        QCOMPARE(Result({{"CMD", "del_tc"}, {"testcaseid", b}}), QStringLiteral("ok"));
        QCOMPARE(Data({{"CMD", "sync_plan"}, {"planid", plan}, {"tclist", QJsonArray{d, a}}}).size(), 2);
        QTRY_VERIFY_WITH_TIMEOUT(Data({{"CMD", "my_jobs"}}).isEmpty(), 20000);

        const QJsonObject detail = Ask({{"CMD", "job_detail"}, {"jobid", job}, {"verdicts", true}});
        QStringList cases;
        for (const QJsonValue& value : detail.value("jobdetail").toArray())
            cases << QStringLiteral("%1 %2 %3 %4").arg(value["seqidx"].toInt()).arg(value["title"].toString(), value["status"].toString(),
                                                       value["verdict"]["status"].toString());
        QCOMPARE(cases, (QStringList{"0 A pass pass", "2 C fail fail", "3 D pass pass"}));
        QCOMPARE(pick(detail.value("job").toObject(), {"fin", "status", "total"}), (QJsonObject{{"fin", 4}, {"status", 3}, {"total", 4}}));
        QCOMPARE(detail.value("job")["verdict"].toObject(), (QJsonObject{{"result", true}, {"remark", "No Script to Exec"}, {"reason", ""}}));
    }

    // A stored plan's job behind another job on its device waits, says so and
    // is listed so, in either mode; "CancelJob" with the device's url ends
    // only the job on that device.
    void waitingJobsAreListed()
    {
        const int tc = AddTestcase(newTestcase("queued", "wait"));
        const int plan = Ask({{"CMD", "create_plan"}, {"projectid", 1}, {"name", "queued"}, {"content", compact({{"case_stratepy", QJsonArray{QJsonArray()}}})}})
                             .value("planid").toInt();
        QCOMPARE(Data({{"CMD", "sync_plan"}, {"planid", plan}, {"tclist", QJsonArray{tc}}}).size(), 1);
        // The device's holder: a job handed in whole, held in its post-delay.
        TestClient holder;
        QVERIFY(holder.Connect(m_host->Url()));
        const QJsonObject content{{"MODULE_NAME", "Power"}, {"GROUP_NAME", "Supply"}, {"DATA", QJsonArray()}};
        holder.Send(QJsonObject{{"CMD", "ExecuteJob"}, {"SEQ", 1},
                                {"VALUE", QJsonObject{{"url", "dev-q"}, {"jobid", 7000}, {"planid", 1},
                                                      {"case_list", QJsonArray{QJsonObject{{"testcaseid", 1}, {"content", compact(content)}}}},
                                                      {"content", compact({{"case_stratepy", QJsonArray{QJsonArray{QJsonObject{{"type", "s_deplay"}, {"time", 60000}}}}}})}}}});
        QTRY_VERIFY(m_emulator->Stderr().contains("Device dev-q entered auto-test mode"));
        // Its events go to a client of their own; the answer naming the job comes first.
        TestClient follower;
        QVERIFY(follower.Connect(m_host->Url()));
        follower.Send(QJsonObject{{"CMD", "execute_job_local"}, {"planid", plan}, {"url", "devices/dev-q"}, {"progress", true}});
        QVERIFY(follower.WaitReplies(2, 10000));
        const int job = follower.Reply(0).value("jobid").toInt();
        QCOMPARE(follower.Reply(1).value("EVENT").toString(), QStringLiteral("JobWaiting"));
        const auto waiting = [&] {
            const QJsonArray jobs = Ask({{"CMD", "my_jobs"}, {"verdicts", true}}).value("data").toArray();
            return jobs.isEmpty() ? QJsonValue() : jobs.at(0)["waiting"];
        };
        QTRY_COMPARE(waiting(), QJsonValue(true));
        QCOMPARE(Ask({{"CMD", "CancelJob"}, {"jobid", 7000}, {"url", "dev-other"}}).value("cancelled").toInt(), 0);
        QCOMPARE(Ask({{"CMD", "CancelJob"}, {"jobid", 7000}, {"url", "devices/dev-q"}}).value("cancelled").toInt(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(Data({{"CMD", "my_jobs"}}).isEmpty(), 15000);
        const QJsonObject detail = Ask({{"CMD", "job_detail"}, {"jobid", job}, {"verdicts", true}});
        QCOMPARE(detail.value("jobdetail")[0]["verdict"]["status"].toString(), QStringLiteral("pass"));
        QStringList events;
        for (int i = 1; i < follower.Replies().size(); ++i)
            events << follower.Reply(i).value("EVENT").toString();
        QVERIFY2(events.mid(0, 2) == (QStringList{"JobWaiting", "JobStarted"}), qPrintable(events.join(' ')));
    }

    // A job whose host is killed does not stay "running": the host finishes it
    // when it starts again, the server when the station has been silent for
    // its lease. Cases that finished keep their verdicts.
    void jobsLeftRunningAreFinished()
    {
        if (m_server) {
            QVERIFY(m_server->Stop());
            QVERIFY2(m_server->Start(QStringList{"--job-lease-s", "2"} + (m_pg ? QStringList{"--database", m_pg->Url()} : QStringList())),
                     qPrintable(m_server->ErrorText()));
            m_client.reset();
            QVERIFY(m_host->Stop());
            QVERIFY2(StartHost(), qPrintable(m_host->ErrorText()));
        }
        const int first = AddTestcase(newTestcase("first", "left"));
        const int second = AddTestcase(newTestcase("second", "left"));
        const QJsonArray strategies{QJsonArray(), QJsonArray{QJsonObject{{"type", "s_deplay"}, {"time", 60000}}}};
        const int plan = Ask({{"CMD", "create_plan"}, {"projectid", 1}, {"name", "left"}, {"content", compact({{"case_stratepy", strategies}})}})
                             .value("planid").toInt();
        QCOMPARE(Data({{"CMD", "sync_plan"}, {"planid", plan}, {"tclist", QJsonArray{first, second}}}).size(), 2);
        const int job = Ask({{"CMD", "execute_job_local"}, {"planid", plan}, {"url", "dev-l"}}).value("jobid").toInt();
        // The first case has finished (and, for a server, been reported) once "fin" shows it.
        QTRY_COMPARE_WITH_TIMEOUT(Data({{"CMD", "my_jobs"}}).at(0)["fin"].toInt(), 1, 10000);
        m_client.reset();
        m_host->Stop(SIGKILL);
        QVERIFY2(StartHost(), qPrintable(m_host->ErrorText()));
        const QString reason = m_server ? "Station lost" : "Host stopped during the job";
        const auto verdict = [&] { return Ask({{"CMD", "job_info"}, {"jobid", job}, {"verdicts", true}}).value("verdict")["reason"].toString(); };
        QTRY_COMPARE_WITH_TIMEOUT(verdict(), reason, 15000);
        const QJsonObject detail = Ask({{"CMD", "job_detail"}, {"jobid", job}, {"verdicts", true}});
        QCOMPARE(pick(detail.value("job").toObject(), {"fin", "status"}), (QJsonObject{{"fin", 1}, {"status", 3}}));
        QStringList cases;
        for (const QJsonValue& value : detail.value("jobdetail").toArray())
            cases << value["status"].toString() + " " + value["verdict"]["status"].toString() + " " + value["verdict"]["remark"].toString();
        QCOMPARE(cases, (QStringList{"pass pass No Script to Exec", "fail not run "}));
        QVERIFY(Data({{"CMD", "my_jobs"}}).isEmpty());
    }

    void killedDuringPlanUpdatesKeepsWholeLists()
    {
        // 20 plans get a first list each, then a stream of new lists that the
        // host is killed in the middle of. Lists of one plan differ in their
        // first test case, so a list cut short matches none of them.
        QList<int> tcs;
        for (int i = 0; i < 40; ++i)
            tcs.append(AddTestcase(newTestcase(QStringLiteral("k%1").arg(i), "kill")));
        const int plans = 20;
        const int rounds = 30;
        const auto list = [&](int plan, int round) {
            QJsonArray ids;
            for (int i = 0; i < 100 + 37 * ((plan + round) % 7); ++i)
                ids.append(tcs.at((round + i * (plan + 1)) % tcs.size()));
            return ids;
        };
        const auto asRecords = [](const QJsonArray& ids) {
            QJsonArray records;
            for (const QJsonValue& id : ids)
                records.append(QJsonObject{{"testcaseid", id}});
            return records;
        };
        QList<int> planIds;
        for (int plan = 0; plan < plans; ++plan) {
            planIds.append(Ask({{"CMD", "create_plan"}, {"projectid", 1}, {"name", "k"}}).value("planid").toInt());
            QCOMPARE(Result({{"CMD", "sync_plan"}, {"planid", planIds.last()}, {"tclist", list(plan, 0)}}), QStringLiteral("ok"));
        }
        // A few requests in flight at all times, so that the host always has
        // one to work on but its replies never pile up unread. Request i is
        // round 1 + i / plans of plan i % plans, and its "SEQ" is i.
        QList<QJsonObject> stream;
        for (int round = 1; round < rounds; ++round)
            for (int plan = 0; plan < plans; ++plan)
                stream.append({{"CMD", "sync_plan"}, {"SEQ", stream.size()}, {"planid", planIds.at(plan)}, {"tclist", list(plan, round)}});
        int sent = 0;
        int answered = 0;
        bool killed = false;
        // Per plan, the latest round answered "ok"; replies may come in any order.
        QVector<int> lastAnswered(plans, 0);
        QStringList refused;
        // One request per plan at a time: two of one plan in flight may be
        // committed in either order (a writer waiting for SQLite's lock can
        // be overtaken), and the last answered would not be the last stored.
        QVector<bool> inFlight(plans, false);
        const auto sendNext = [&] {
            if (!killed && sent < stream.size() && !inFlight.at(sent % plans)) {
                inFlight[sent % plans] = true;
                m_client->Send(stream.at(sent++));
            }
        };
        connect(&m_client->Socket(), &QWebSocket::textMessageReceived, this, [&](const QString& text) {
            const QJsonObject reply = QJsonDocument::fromJson(text.toUtf8()).object();
            const QJsonValue seq = reply.value("SEQ");
            const bool ok = reply.value("result") == QJsonValue("ok");
            // Once the writer is gone, a host in front of a killed server answers with errors.
            if (!seq.isDouble() || seq.toInt() < 0 || seq.toInt() >= sent || (!ok && !killed))
                refused << text;
            if (seq.isDouble() && seq.toInt() >= 0)
                inFlight[seq.toInt() % plans] = false;
            if (ok && seq.isDouble()) {
                ++answered;
                const int plan = seq.toInt() % plans;
                lastAnswered[plan] = std::max(lastAnswered[plan], 1 + seq.toInt() / plans);
            }
            sendNext();
        });
        for (int i = 0; i < 4; ++i)
            sendNext();
        QTRY_VERIFY_WITH_TIMEOUT(answered >= 3 * plans || !refused.isEmpty(), 20000);
        QVERIFY2(refused.isEmpty(), qPrintable(refused.join('\n')));
        // The process that writes is killed: the host, or the server behind it.
        (m_server ? m_server : m_host)->Stop(SIGKILL);
        killed = true;
        QVERIFY2(answered < sent, "every request was answered before the kill");
        QVERIFY2(refused.isEmpty(), qPrintable(refused.join('\n')));

        if (m_server) {
            m_client.reset();
            QVERIFY(m_host->Stop());
            QVERIFY2(StartServer(), qPrintable(m_server->ErrorText()));
        }
        QVERIFY2(StartHost(), qPrintable(m_host->ErrorText()));
        for (int plan = 0; plan < plans; ++plan) {
            const QJsonArray stored = pick(Data({{"CMD", "plan_tcs"}, {"planid", planIds.at(plan)}}), {"testcaseid"});
            // The latest round sent for this plan, 0 when none was.
            const int lastSent = sent > plan ? 1 + (sent - 1 - plan) / plans : 0;
            int round = lastSent;
            while (round >= 0 && asRecords(list(plan, round)) != stored)
                --round;
            QVERIFY2(round >= 0, qPrintable(QStringLiteral("plan %1 holds %2 links, no list it was given")
                                                .arg(plan).arg(stored.size())));
            // Every answered change was committed, and a commit survives the kill.
            QVERIFY2(round >= lastAnswered.at(plan),
                     qPrintable(QStringLiteral("plan %1 holds round %2, older than round %3 answered").arg(plan).arg(round).arg(lastAnswered.at(plan))));
        }
    }

    void databaseUnavailable()
    {
        if (m_pg) {
            // PostgreSQL restarted: the server's connections end. The request that finds out fails
            // with a clear text; it alone, as every connection is then checked before its next use.
            QCOMPARE(AddTestcase(newTestcase("before", "db")), 1);
            QVERIFY2(m_pg->DropConnections(), qPrintable(m_pg->ErrorText()));
            QStringList results;
            for (int i = 0; i < 12; ++i)
                results << Result({{"CMD", "fetch_tc"}, {"testcaseid", 1}});
            QVERIFY2(results.filter(QRegularExpression("^Database connection lost, try again: (?s).+$")).size() <= 1
                         && results.count("ok") >= results.size() - 1 && results.last() == "ok",
                     qPrintable(results.join('\n')));
            return;
        }
        if (m_server)
            QSKIP("the host's own database");
        // Data/ as a plain file: the host cannot create the directory and the
        // database cannot open.
        QVERIFY(m_host->Stop());
        QDir(m_host->AppDir() + "/Data").removeRecursively();
        QVERIFY(QFile(m_host->AppDir() + "/Data").open(QIODevice::WriteOnly));
        QVERIFY2(StartHost(), qPrintable(m_host->ErrorText()));
        QVERIFY(m_host->Stderr().contains("[0] AutoTestProxy ATServerProxy::Init: [Local DB Init Fail :  ]"));
        QVERIFY(Result({{"CMD", "add_tc"}, {"testcase", QJsonObject{}}}).startsWith("Local database is not available"));
        // No job can have started without a database, and listing them needs none.
        QCOMPARE(pick(Ask({{"CMD", "my_jobs"}}), {"result", "data"}), (QJsonObject{{"result", "ok"}, {"data", QJsonArray()}}));
        QCOMPARE(Ask({{"CMD", "switch_state"}, {"state", "remote"}}).value("state").toString(), QStringLiteral("remote"));
        QCOMPARE(Ask({{"CMD", "GetAutoTestTemplate"}}).value("VALUE").toArray(), QJsonArray());
    }
};

QTEST_GUILESS_MAIN(TstLocalServer)
#include "tst_localserver.moc"
