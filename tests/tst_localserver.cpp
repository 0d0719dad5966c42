// Mode "local" through the host over a real connection: test cases, plans,
// a stored plan run on the controller emulator, and the records it leaves.

#include "tests/support/HostProcess.h"
#include "tests/support/TestClient.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

namespace {

QString compact(const QJsonObject& object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QJsonObject newTestcase(const QString& title, const QString& path, int value)
{
    const QJsonObject content{{"MODULE_NAME", "Power"}, {"GROUP_NAME", "Supply"},
                              {"DATA", QJsonArray{QJsonObject{{"INDEX", 0}, {"VALUE", value}}}}};
    return {{"projectid", 1}, {"title", title}, {"path", path}, {"author", "qa"}, {"tags", "smoke"},
            {"content", compact(content)}};
}

} // namespace

class TstLocalServer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void testcasesAndPaging();
    void plansAndTheirTestcases();
    void storedPlanRunsAndSurvivesRestart();
    void wholeJobFailureRecordsJobFail();
    void requestErrorsHaveFixedTexts();
    void missingDatabaseDirectory();

private:
    QJsonObject Ask(const QJsonObject& request, int timeoutMs = 5000)
    {
        return m_client->Request(request, timeoutMs);
    }
    bool StartHost();
    int AddTestcase(const QJsonObject& testcase);

    HostProcess* m_host = nullptr;
    TestClient* m_client = nullptr;
    HostProcess* m_emulator = nullptr;
};

void TstLocalServer::init()
{
    m_host = new HostProcess;
    QVERIFY(StartHost());
}

void TstLocalServer::cleanup()
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

bool TstLocalServer::StartHost()
{
    delete m_client;
    m_client = nullptr;
    if (!m_host->Start()) {
        qWarning("%s", qPrintable(m_host->ErrorText()));
        return false;
    }
    m_client = new TestClient;
    if (!m_client->Connect(m_host->Url()))
        return false;
    return Ask({{"CMD", "switch_state"}, {"state", "local"}}).value("state").toString() == QLatin1String("local");
}

int TstLocalServer::AddTestcase(const QJsonObject& testcase)
{
    const QJsonObject reply = Ask({{"CMD", "add_tc"}, {"testcase", testcase}});
    if (reply.value("result").toString() != QLatin1String("ok"))
        qWarning("add_tc: %s", qPrintable(compact(reply)));
    return reply.value("testcaseid").toInt();
}

void TstLocalServer::testcasesAndPaging()
{
    const int id = AddTestcase(newTestcase("first", "radio/tx", 1));
    QVERIFY(id > 0);
    QJsonObject reply = Ask({{"CMD", "fetch_tc"}, {"testcaseid", id}, {"SEQ", 4}});
    QCOMPARE(reply.value("result").toString(), QStringLiteral("ok"));
    QCOMPARE(reply.value("cmd").toString(), QStringLiteral("fetch_tc"));
    QCOMPARE(reply.value("SEQ").toInt(), 4);
    QCOMPARE(reply.value("title").toString(), QStringLiteral("first"));
    QCOMPARE(reply.value("tags").toString(), QStringLiteral("smoke"));
    QVERIFY(QDateTime::fromString(reply.value("date").toString(), "yyyy-MM-dd hh:mm:ss").isValid());

    for (int i = 1; i < 25; ++i)
        QVERIFY(AddTestcase(newTestcase(QStringLiteral("tc %1").arg(i), "radio/rx", i)) > 0);
    AddTestcase(newTestcase("elsewhere", "power", 0));

    reply = Ask({{"CMD", "proj_tcs"}, {"path", "radio"}, {"size", 10}, {"page", 3}});
    QCOMPARE(reply.value("count").toInt(), 25);
    QCOMPARE(reply.value("maxpage").toInt(), 3);
    QCOMPARE(reply.value("data").toArray().size(), 5);
    reply = Ask({{"CMD", "proj_tcs"}, {"path", "radio"}, {"size", 10}, {"page", 0}});
    QCOMPARE(reply.value("page").toInt(), 0);
    QCOMPARE(reply.value("data").toArray().size(), 10);
    reply = Ask({{"CMD", "proj_tcs"}, {"path", "nowhere"}, {"size", 10}});
    QCOMPARE(reply, (QJsonObject{{"ERROR", "SUCCESS"}, {"cmd", "proj_tcs"}, {"result", "ok"}, {"maxpage", 0},
                                 {"count", 0}, {"page", 1}, {"data", QJsonArray()}}));
    QCOMPARE(Ask({{"CMD", "proj_tcs"}}).value("data").toArray().size(), 1);
    QVERIFY(Ask({{"CMD", "proj_tcs"}, {"size", 0}}).value("result").toString() != QLatin1String("ok"));

    // Update overrides from "attrs"; fields given nowhere are written empty.
    reply = Ask({{"CMD", "update_tc"}, {"testcaseid", id}, {"title", "old"}, {"attrs", QJsonObject{{"title", "new"}, {"content", "{}"}}}});
    QCOMPARE(reply.value("result").toString(), QStringLiteral("ok"));
    reply = Ask({{"CMD", "fetch_tc"}, {"testcaseid", id}});
    QCOMPARE(reply.value("title").toString(), QStringLiteral("new"));
    QCOMPARE(reply.value("author").toString(), QString());

    QCOMPARE(Ask({{"CMD", "del_tc"}, {"testcaseid", id}}).value("result").toString(), QStringLiteral("ok"));
    reply = Ask({{"CMD", "fetch_tc"}, {"testcaseid", id}});
    QVERIFY(reply.value("result").toString() != QLatin1String("ok"));
    QVERIFY(!reply.contains("title"));
}

void TstLocalServer::plansAndTheirTestcases()
{
    const int a = AddTestcase(newTestcase("a", "p", 1));
    const int b = AddTestcase(newTestcase("b", "p", 2));
    QJsonObject reply = Ask({{"CMD", "create_plan"}, {"projectid", 1}, {"name", "nightly"}, {"tags", QJsonArray{"night"}},
                             {"content", "{}"}});
    QCOMPARE(reply.value("result").toString(), QStringLiteral("ok"));
    const int plan = reply.value("planid").toInt();
    QCOMPARE(reply.value("plan").toObject().value("tags").toArray(), QJsonArray{"night"});

    reply = Ask({{"CMD", "sync_plan"}, {"planid", plan}, {"tclist", QJsonArray{b, a}}});
    QCOMPARE(reply.value("data").toArray().size(), 2);
    reply = Ask({{"CMD", "my_plans"}, {"tags", QJsonArray{"night"}}, {"size", 5}});
    QCOMPARE(reply.value("count").toInt(), 1);
    QCOMPARE(reply.value("data").toArray().at(0).toObject().value("name").toString(), QStringLiteral("nightly"));
    reply = Ask({{"CMD", "my_plans"}, {"tags", QJsonArray{"day"}}, {"size", 5}});
    QCOMPARE(reply.value("result").toString(), QString());
    QVERIFY(!reply.contains("data"));

    QCOMPARE(Ask({{"CMD", "update_plan"}, {"planid", plan}, {"name", "weekly"}}).value("result").toString(), QStringLiteral("ok"));
    QCOMPARE(Ask({{"CMD", "plan_info"}, {"planid", plan}}).value("name").toString(), QStringLiteral("weekly"));
    QCOMPARE(Ask({{"CMD", "del_plan"}, {"planid", plan}}), (QJsonObject{{"ERROR", "SUCCESS"}, {"cmd", "del_plan"},
                                                                         {"result", "ok"}, {"planid", plan}}));
    QCOMPARE(Ask({{"CMD", "plan_tcs"}, {"planid", plan}}).value("data").toArray(), QJsonArray());
}

void TstLocalServer::storedPlanRunsAndSurvivesRestart()
{
    // The README's workflow files: two test cases (the second fails on
    // purpose), a plan whose first case waits 500 ms, and its job.
    m_emulator = new HostProcess(QStringLiteral("controller-emulator"));
    QVERIFY2(m_emulator->Start({"--template", QStringLiteral(KIV_SOURCE_DIR "/examples/device-template.json"), "--port",
                                "19870", "--push-interval", "20"}),
             qPrintable(m_emulator->ErrorText()));
    QJsonObject reply;
    for (const char* name : {"add-tc-supply", "add-tc-radio", "create-plan", "sync-plan", "execute-job"}) {
        QFile file(QStringLiteral(KIV_SOURCE_DIR "/examples/local/%1.json").arg(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        reply = Ask(QJsonDocument::fromJson(file.readAll()).object());
        QVERIFY2(reply.value("result").toString() == QLatin1String("ok"), qPrintable(name + (": " + compact(reply))));
    }
    const int job = reply.value("jobid").toInt();
    QVERIFY(job > 0);

    // Listed as running while the first case waits its post-delay.
    reply = Ask({{"CMD", "my_jobs"}});
    QCOMPARE(reply.value("data").toArray().size(), 1);
    QCOMPARE(reply.value("data").toArray().at(0).toObject().value("status").toInt(), 2);
    QCOMPARE(reply.value("data").toArray().at(0).toObject().value("total").toInt(), 2);

    QTRY_VERIFY_WITH_TIMEOUT(Ask({{"CMD", "my_jobs"}}).value("data").toArray().isEmpty(), 15000);
    reply = Ask({{"CMD", "my_reports"}});
    QCOMPARE(reply.value("data").toArray().size(), 1);
    QCOMPARE(reply.value("data").toArray().at(0).toObject().value("status").toInt(), 3);

    auto checkDetails = [&] {
        const QJsonObject detail = Ask({{"CMD", "job_detail"}, {"jobid", job}});
        QCOMPARE(detail.value("job").toObject().value("fin").toInt(), 2);
        QCOMPARE(detail.value("job").toObject().value("starter").toString(), QStringLiteral("newcomer"));
        const QJsonArray details = detail.value("jobdetail").toArray();
        QCOMPARE(details.size(), 2);
        QCOMPARE(details.at(0).toObject().value("status").toString(), QStringLiteral("pass"));
        QCOMPARE(details.at(0).toObject().value("testcaseid").toInt(), 1);
        QCOMPARE(details.at(1).toObject().value("status").toString(), QStringLiteral("fail"));
        QCOMPARE(details.at(1).toObject().value("seqidx").toInt(), 1);
    };
    checkDetails();
    if (QTest::currentTestFailed())
        return;

    // A new host on the same application directory reads the same records.
    QVERIFY(m_host->Stop());
    QVERIFY(StartHost());
    checkDetails();
    QCOMPARE(Ask({{"CMD", "job_info"}, {"jobid", job}}).value("status").toInt(), 3);
}

void TstLocalServer::wholeJobFailureRecordsJobFail()
{
    // No controller listening: the worker fails as a whole before any test case.
    const int tc = AddTestcase(newTestcase("x", "p", 1));
    const int plan = Ask({{"CMD", "create_plan"}, {"projectid", 1}, {"name", "p"}, {"content", compact({{"case_stratepy", QJsonArray{QJsonArray()}}})}})
                         .value("planid").toInt();
    Ask({{"CMD", "sync_plan"}, {"planid", plan}, {"tclist", QJsonArray{tc}}});
    const int job = Ask({{"CMD", "execute_job_local"}, {"planid", plan}, {"url", "nobody"}}).value("jobid").toInt();
    QTRY_VERIFY_WITH_TIMEOUT(Ask({{"CMD", "my_jobs"}}).value("data").toArray().isEmpty(), 15000);
    const QJsonArray details = Ask({{"CMD", "job_detail"}, {"jobid", job}}).value("jobdetail").toArray();
    QCOMPARE(details.size(), 1);
    QCOMPARE(details.at(0).toObject().value("status").toString(), QStringLiteral("fail"));
    // The worker's failure report has one "Fatal Error" entry per case.
    QCOMPARE(Ask({{"CMD", "job_info"}, {"jobid", job}}).value("fin").toInt(), 1);
}

void TstLocalServer::requestErrorsHaveFixedTexts()
{
    QCOMPARE(Ask({{"CMD", "add_tc"}, {"testcase", "x"}}).value("result").toString(), QStringLiteral("Json no testcase"));
    QCOMPARE(Ask({{"CMD", "update_tc"}, {"testcaseid", 1}}).value("result").toString(), QStringLiteral("Json no attrs"));
    QCOMPARE(Ask({{"CMD", "execute_job_local"}, {"planid", 1}}).value("result").toString(), QStringLiteral("URL is empty."));
    const int plan = Ask({{"CMD", "create_plan"}, {"projectid", 1}, {"name", "empty"}}).value("planid").toInt();
    QCOMPARE(Ask({{"CMD", "execute_job_local"}, {"planid", plan}, {"url", "d/1"}}).value("result").toString(),
             QStringLiteral("Test plan has no testcase to execute"));
    QCOMPARE(Ask({{"CMD", "my_reports"}}).value("data").toArray(), QJsonArray());
    // A test case without a title breaks a not-null constraint.
    QVERIFY(Ask({{"CMD", "add_tc"}, {"testcase", QJsonObject{{"content", "{}"}}}}).value("result").toString().contains("NOT NULL"));
    QCOMPARE(Ask({{"CMD", "nope"}}), (QJsonObject{{"ERROR", "SUCCESS"}, {"cmd", "nope"}, {"result", "Local AT Server not support cmd: nope"}}));
}

void TstLocalServer::missingDatabaseDirectory()
{
    // Data/ as a plain file: the host cannot create the directory and the
    // database cannot open.
    QVERIFY(m_host->Stop());
    QDir(m_host->AppDir() + "/Data").removeRecursively();
    QFile blocker(m_host->AppDir() + "/Data");
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QVERIFY(StartHost());
    QVERIFY(m_host->Stderr().contains("[0] AutoTestProxy ATServerProxy::Init: [Local DB Init Fail :  ]"));
    QVERIFY(Ask({{"CMD", "add_tc"}, {"testcase", QJsonObject{}}}).value("result").toString().startsWith("Local database is not available"));
    QCOMPARE(Ask({{"CMD", "switch_state"}, {"state", "remote"}}).value("state").toString(), QStringLiteral("remote"));
    QCOMPARE(Ask({{"CMD", "GetAutoTestTemplate"}}).value("VALUE").toArray(), QJsonArray());
}

QTEST_GUILESS_MAIN(TstLocalServer)
#include "tst_localserver.moc"
