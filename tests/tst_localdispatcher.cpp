// Recording a job's results: the host's own jobs (LocalDispatcher) and the
// jobs a server hands to stations (job_progress, job_report) store the same
// verdicts from the same reports, each against a database of the test's own.

#include "base/ComponentMap.h"
#include "local/LocalDispatcher.h"
#include "server/ServerSession.h"
#include "storage/LocalModel.h"
#include "tests/support/LogSpy.h"
#include "tests/support/PrivateAppDir.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QtTest>

#include <memory>

namespace {

QJsonObject entry(int id, bool result, const QString& remark, const QJsonValue& verdict = QJsonValue::Undefined)
{
    QJsonObject tc{{"id", id}, {"result", result}, {"remark", remark}};
    if (!verdict.isUndefined())
        tc.insert("verdict", verdict);
    return tc;
}

QJsonObject verdict(const QString& status, const QString& remark = QString(), int ms = -1)
{
    return {{"status", status}, {"remark", remark}, {"ms", ms}};
}

QJsonObject report(const QJsonArray& tcs, bool result = true, const QString& remark = "No Script to Exec",
                   const QJsonValue& jobVerdict = QJsonValue::Undefined)
{
    QJsonObject value{{"result", result}, {"remark", remark}, {"tcs", tcs}};
    if (!jobVerdict.isUndefined())
        value.insert("verdict", jobVerdict);
    return {{"VALUE", value}};
}

// Rows of a query on the named connection, each row's columns joined by "|".
QStringList rows(const QString& connection, const QString& sql)
{
    QSqlQuery query(QSqlDatabase::database(connection));
    QStringList out;
    if (!query.exec(sql))
        return {query.lastError().text()};
    while (query.next()) {
        QStringList columns;
        for (int i = 0; i < query.record().count(); ++i)
            columns << (query.isNull(i) ? QStringLiteral("NULL") : query.value(i).toString());
        out << columns.join('|');
    }
    return out;
}

} // namespace

class TstLocalDispatcher : public QObject
{
    Q_OBJECT
    LocalModel m_model;
    ComponentMap m_components;
    LocalDispatcher m_dispatcher;
    DBT_Plan m_plan;
    QList<DBT_Testcase> m_testcases;
    // The server's side, on a database file of its own. A lease in the past
    // makes every job count as silent whenever the test looks for lost ones.
    std::unique_ptr<ServerSession> m_server;
    QString m_secret;

    QJsonObject Server(const QJsonObject& request) { return m_server->Answer(request); }

    // A new running job of the plan's three test cases a, b, c; on the server,
    // its secret is kept in m_secret.
    int StartJob(const QString& backend)
    {
        if (backend == "server") {
            const QJsonObject started = Server({{"cmd", "execute_job_local"}, {"planid", 1}, {"url", "d/1"}});
            m_secret = started.value("job").toObject().value("secret").toString();
            return started.value("jobid").toInt();
        }
        DBT_Job job;
        job.planId = m_plan.id;
        job.projId = 1;
        job.status = 2;
        job.totalCnt = m_testcases.size();
        job.sTime = QDateTime::currentDateTime();
        job.caseIds = QStringLiteral("[%1,%2,%3]").arg(m_testcases[0].id).arg(m_testcases[1].id).arg(m_testcases[2].id);
        if (!m_model.StartJob(job))
            return 0;
        const_cast<QList<LocalJobContext>&>(m_dispatcher.Jobs()).append(LocalJobContext("d/1", job, m_plan, m_testcases));
        return job.id;
    }

    // Reports `report` for `job`: what the server answered, "ok" for the host.
    QString Report(const QString& backend, int job, const QJsonObject& report)
    {
        if (backend == "server")
            return Server({{"cmd", "job_report"}, {"jobid", job}, {"secret", m_secret}, {"report", report}})
                .value("result").toString();
        m_dispatcher.ExecResult(job, report);
        return m_dispatcher.FindJob(job) ? QStringLiteral("not recorded") : QStringLiteral("ok");
    }

    // "status fin result|remark|reason", then "seq title status content|verdict remark ms" per case.
    QStringList Record(const QString& backend, int job)
    {
        const QString connection = backend == "server" ? "verdict-server" : "AutoTest";
        const QString id = QString::number(job);
        return rows(connection, "select status || ' ' || finishCnt, vResult, vRemark, vReason from T_Job where id = " + id)
            + rows(connection, "select seqIdx || ' ' || t.title || ' ' || d.status, d.content, vStatus, vRemark, vMs"
                               " from T_JobDetail d join T_Tc t on t.id = d.tcId where jobId = " + id + " order by seqIdx");
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_model.Open());
        m_components.Register("LocalModel", &m_model);
        m_dispatcher.SetComponentMap(&m_components);
        m_plan.projId = 1;
        m_plan.name = QStringLiteral("plan");
        QVERIFY(m_model.AddPlan(m_plan));
        m_server.reset(new ServerSession(QCoreApplication::applicationDirPath() + "/Data/server.db3", "verdict-server", -60000));
        QCOMPARE(Server({{"cmd", "create_plan"}, {"projectid", 1}, {"name", "plan"}}).value("planid").toInt(), 1);
        for (const char* title : {"a", "b", "c"}) {
            DBT_Testcase tc;
            tc.projId = 1;
            tc.title = title;
            tc.content = QStringLiteral("{}");
            QVERIFY(m_model.AddTestcase(tc));
            m_testcases.append(tc);
            QCOMPARE(Server({{"cmd", "add_tc"}, {"testcase", QJsonObject{{"projectid", 1}, {"title", title}, {"content", "{}"}}}})
                         .value("testcaseid").toInt(), tc.id);
        }
        QCOMPARE(Server({{"cmd", "sync_plan"}, {"planid", 1}, {"tclist", QJsonArray{1, 2, 3}}}).value("result").toString(), QStringLiteral("ok"));
    }

    // What a report leaves in the job's record, the same on the host and on the server.
    void verdictMatrix_data()
    {
        QTest::addColumn<QString>("backend");
        QTest::addColumn<QJsonObject>("report");
        QTest::addColumn<QStringList>("record");
        const QString reason = "Websocket to controller/auto_test/ is disconnected";
        for (const QString backend : {"local", "server"}) {
            const auto row = [&](const char* name) { return &(QTest::newRow(qPrintable(backend + ": " + name)) << backend); };
            // Verdicts as the engine gives them: a script's "no" is a failure, its exception an error.
            *row("pass, fail, error") << report({entry(1, true, "", verdict("pass", "", 12)), entry(2, false, "", verdict("fail", "", 7)),
                                                 entry(3, false, "Script Exception: LINE ( 1 ) Error: x",
                                                       verdict("error", "Script Exception: LINE ( 1 ) Error: x", 3))},
                                                false, "", QJsonObject{{"result", false}, {"remark", ""}, {"reason", ""}})
                                      << QStringList{"3 3|0||", "0 a pass||pass||12", "1 b fail||fail||7",
                                                     "2 c fail|Script Exception: LINE ( 1 ) Error: x|error|Script Exception: LINE ( 1 ) Error: x|3"};
            // A job that failed midway: what finished stays, the running case is the error, the rest never ran.
            *row("failed midway") << report({entry(1, false, "Fatal Error", verdict("pass", "", 5)),
                                             entry(2, false, "Fatal Error", verdict("error", reason)),
                                             entry(3, false, "Fatal Error", verdict("not run"))},
                                            false, reason, QJsonObject{{"result", false}, {"remark", reason}, {"reason", reason}})
                                  << QStringList{"3 3|0|" + reason + "|" + reason, "0 a fail|Fatal Error|pass||5",
                                                 "1 b fail|Fatal Error|error|" + reason + "|-1", "2 c fail|Fatal Error|not run||-1"};
            // Reports of an older station carry no verdicts: judged from their plain fields.
            *row("no verdicts, shorter than the job") << report({entry(1, true, "fine"), entry(2, false, "Set Data Ack: busy")})
                                                      << QStringList{"3 2|1|No Script to Exec|", "0 a pass|fine|pass|fine|-1",
                                                                     "1 b fail|Set Data Ack: busy|error|Set Data Ack: busy|-1",
                                                                     "2 c fail|not run|not run||-1"};
            *row("no verdicts, failed as a whole") << report({entry(1, false, "Cancelled"), entry(2, false, "Cancelled"),
                                                              entry(3, false, "Cancelled")}, false, "Cancelled")
                                                   << QStringList{"3 3|0|Cancelled|Cancelled", "0 a fail|Cancelled|error|Cancelled|-1",
                                                                  "1 b fail|Cancelled|error|Cancelled|-1", "2 c fail|Cancelled|error|Cancelled|-1"};
            *row("no worker") << QJsonObject{{"VALUE", QJsonObject{{"result", false}, {"remark", "No more worker"}}}}
                              << QStringList{"3 0|0|No more worker|No more worker", "0 a fail|job fail|not run||-1",
                                             "1 b fail|job fail|not run||-1", "2 c fail|job fail|not run||-1"};
            // What a script threw is kept whatever it holds; what no database keeps becomes U+FFFD.
            const QString nul = QString::fromUtf8("a\0b", 3);
            *row("remark a database cannot keep") << report({entry(1, false, nul, verdict("fail", nul)), entry(2, true, ""), entry(3, true, "")})
                                                  << QStringList{"3 3|1|No Script to Exec|", QString::fromUtf8("0 a fail|a\xEF\xBF\xBD" "b|fail|a\xEF\xBF\xBD" "b|-1"),
                                                                 "1 b pass||pass||-1", "2 c pass||pass||-1"};
            // Only JSON true passes; an entry without a remark stores none.
            *row("only JSON true passes") << report({QJsonObject{{"id", 1}, {"result", 1}}, entry(2, false, "x"), entry(3, true, "y")})
                                          << QStringList{"3 3|1|No Script to Exec|", "0 a fail|NULL|fail||-1", "1 b fail|x|fail|x|-1",
                                                         "2 c pass|y|pass|y|-1"};
        }
    }

    void verdictMatrix()
    {
        QFETCH(QString, backend);
        QFETCH(QJsonObject, report);
        const int job = StartJob(backend);
        QVERIFY(job > 0);
        QCOMPARE(Record(backend, job).mid(1), (QStringList{"0 a running|NULL|running||-1", "1 b running|NULL|running||-1",
                                                           "2 c running|NULL|running||-1"}));
        QCOMPARE(Report(backend, job, report), QStringLiteral("ok"));
        QTEST(Record(backend, job), "record");
        // Of two reports of one job only the first counts.
        if (backend == "server") {
            QCOMPARE(Report(backend, job, report), QStringLiteral("job %1 was reported already").arg(job));
            return;
        }
        LogSpy log;
        m_dispatcher.ExecResult(job, report);
        QCOMPARE(log.Count("LocalDispatcher", "LocalDispatcher::ExecResult", 1,
                           QStringLiteral("Report for job %1 that is not running, ignored").arg(job)), 1);
    }

    // Only the station a job was handed to can report it, and only about the cases it ran.
    void serverRefusesForeignReports_data()
    {
        QTest::addColumn<QJsonObject>("request");
        QTest::addColumn<QString>("result");
        const QJsonObject fine = report({entry(1, true, "")});
        QTest::newRow("no secret") << QJsonObject{{"cmd", "job_report"}, {"report", fine}}
                                   << "job_report: job %1 was not handed to the sender (wrong or missing \"secret\")";
        QTest::newRow("wrong secret") << QJsonObject{{"cmd", "job_report"}, {"secret", "0123"}, {"report", fine}}
                                      << "job_report: job %1 was not handed to the sender (wrong or missing \"secret\")";
        QTest::newRow("VALUE not an object") << QJsonObject{{"cmd", "job_report"}, {"report", QJsonObject{{"VALUE", "x"}}}}
                                             << "job_report needs \"jobid\" (a number) and \"report\" (the worker's report object, "
                                                "whose \"VALUE\" is an object)";
        QTest::newRow("more entries than cases") << QJsonObject{{"cmd", "job_report"}, {"report", report({entry(1, true, ""),
                                                               entry(2, true, ""), entry(3, true, ""), entry(3, true, "")})}}
                                                 << "job_report: job %1 ran 3 test cases, not 4";
        QTest::newRow("a case it never ran") << QJsonObject{{"cmd", "job_report"}, {"report", report({entry(1, true, ""), entry(7, true, "")})}}
                                             << "job_report: entry 1 of job %1 names test case 7, but the job ran test case 2 there";
        QTest::newRow("progress beyond the job") << QJsonObject{{"cmd", "job_progress"}, {"from", 2}, {"tcs", QJsonArray{entry(3, true, ""),
                                                                entry(1, true, "")}}}
                                                 << "job_progress: job %1 ran 3 test cases, not 4";
        QTest::newRow("progress of another case") << QJsonObject{{"cmd", "job_progress"}, {"from", 1}, {"tcs", QJsonArray{entry(1, true, "")}}}
                                                  << "job_progress: entry 1 of job %1 names test case 1, but the job ran test case 2 there";
    }

    void serverRefusesForeignReports()
    {
        QFETCH(QJsonObject, request);
        QFETCH(QString, result);
        const int job = StartJob("server");
        request.insert("jobid", job);
        if (!request.contains("secret") && !result.contains("secret"))
            request.insert("secret", m_secret);
        const QStringList before = Record("server", job);
        QCOMPARE(Server(request).value("result").toString(), result.contains("%1") ? result.arg(job) : result);
        QCOMPARE(Record("server", job), before);
        QCOMPARE(Report("server", job, report({})), QStringLiteral("ok"));
    }

    void serverLosesSilentStationsButTakesTheirLateReport()
    {
        const int job = StartJob("server");
        QCOMPARE(Server({{"cmd", "job_progress"}, {"jobid", job}, {"secret", m_secret}, {"from", 0},
                         {"tcs", QJsonArray{entry(1, true, "", verdict("pass", "", 4))}}})
                     .value("result").toString(), QStringLiteral("ok"));
        QCOMPARE(Record("server", job).mid(0, 2), (QStringList{"2 1|NULL|NULL|NULL", "0 a running|NULL|pass||4"}));
        // Every job counts as silent here (see m_server).
        m_server->ExpireJobs();
        QCOMPARE(Record("server", job), (QStringList{"3 1|0||Station lost", "0 a pass||pass||4", "1 b fail|not run|not run||-1",
                                                     "2 c fail|not run|not run||-1"}));
        QCOMPARE(Server({{"cmd", "job_progress"}, {"jobid", job}, {"secret", m_secret}, {"from", 1}, {"tcs", QJsonArray()}})
                     .value("result").toString(), QStringLiteral("job %1 is not running").arg(job));
        // The station was only slow: its report still tells what happened, once.
        const QJsonObject late = report({entry(1, true, ""), entry(2, true, ""), entry(3, false, "")}, true, "");
        QCOMPARE(Report("server", job, late), QStringLiteral("ok"));
        QCOMPARE(Record("server", job), (QStringList{"3 3|1||", "0 a pass||pass||-1", "1 b pass||pass||-1", "2 c fail||fail||-1"}));
        QCOMPARE(Report("server", job, late), QStringLiteral("job %1 was reported already").arg(job));
    }

    // A job a server started before it kept the case list with its jobs
    // (an upgrade while stations ran): its entries name the cases, each
    // stored as the job ran it.
    void serverTakesReportsOfJobsStartedBeforeAnUpgrade()
    {
        QVERIFY(rows("verdict-server", "insert into T_Job (planId, projId, totalCnt, finishCnt, status) values (1, 1, 3, 0, 2);").isEmpty());
        const int job = rows("verdict-server", "select max(id) from T_Job;").value(0).toInt();
        m_secret.clear();
        QCOMPARE(Report("server", job, report({entry(2, true, ""), entry(99, false, "gone"), entry(1, false, "")})), QStringLiteral("ok"));
        QCOMPARE(Record("server", job), (QStringList{"3 3|1|No Script to Exec|", "0 b pass||pass||-1", "2 a fail||fail||-1"}));
    }

    void failedSaveLeavesTheJobAsStarted()
    {
        // The last detail cannot be written: the job and the details written
        // before it are undone with it.
        QVERIFY(rows("AutoTest", "create trigger refuse before update of status on T_JobDetail when new.seqIdx = 2 "
                                 "begin select raise(abort, 'refused'); end;").isEmpty());
        const int job = StartJob("local");
        const QStringList started = Record("local", job);
        LogSpy log;
        m_dispatcher.ExecResult(job, report({entry(1, true, "")}));
        QCOMPARE(log.WithPrefix("LocalDispatcher", " Fail to save jobDetail refused").size(), 1);
        QVERIFY(m_dispatcher.FindJob(job));
        QCOMPARE(Record("local", job), started);
        QCOMPARE(rows("AutoTest", "select ifnull(eTime, 'NULL') from T_Job where id = " + QString::number(job)), QStringList{"NULL"});
        m_dispatcher.RemoveJob(job);
        rows("AutoTest", "drop trigger refuse;");
    }
};

KIV_TEST_MAIN_IN_PRIVATE_APP_DIR(TstLocalDispatcher)
#include "tst_localdispatcher.moc"
