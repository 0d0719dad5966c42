// Recording a local job's results, against a database of the test's own.

#include "engine/ATWorkerMng.h"
#include "front/ComponentMap.h"
#include "local/LocalDispatcher.h"
#include "storage/LocalModel.h"
#include "tests/support/LogSpy.h"
#include "tests/support/PrivateAppDir.h"

#include <QJsonArray>
#include <QSqlQuery>
#include <QtTest>

class TstLocalDispatcher : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void reportsBecomeDetails_data();
    void reportsBecomeDetails();
    void reportForAJobNotRunningIsIgnored();
    void nullTimesAndTextsAreStoredAsNull();

private:
    // A running job of three stored test cases, as "execute_job_local" leaves it.
    int StartJob();
    QVariant Raw(const QString& sql);

    LocalModel m_model;
    ATWorkerMng m_workers;
    ComponentMap m_components;
    LocalDispatcher m_dispatcher;
    DBT_Plan m_plan;
    QList<DBT_Testcase> m_testcases;
};

void TstLocalDispatcher::initTestCase()
{
    QVERIFY(m_model.Open());
    m_components.Register("LocalModel", &m_model);
    m_components.Register("ATWorkerMng", &m_workers);
    m_dispatcher.SetComponentMap(&m_components);
    m_plan.projId = 1;
    m_plan.name = QStringLiteral("plan");
    QVERIFY(m_model.AddPlan(m_plan));
    for (int i = 0; i < 3; ++i) {
        DBT_Testcase tc;
        tc.projId = 1;
        tc.title = QStringLiteral("tc %1").arg(i);
        tc.content = QStringLiteral("{}");
        QVERIFY(m_model.AddTestcase(tc));
        m_testcases.append(tc);
    }
}

int TstLocalDispatcher::StartJob()
{
    DBT_Job job;
    job.planId = m_plan.id;
    job.projId = 1;
    job.status = 2;
    job.totalCnt = m_testcases.size();
    job.sTime = QDateTime::currentDateTime();
    if (!m_model.AddJob(job))
        return 0;
    // Listed as StartJob lists it, but not handed to a worker: the test
    // plays the worker and reports.
    LocalJobContext context(QStringLiteral("d/1"), job, m_plan, m_testcases);
    const_cast<QList<LocalJobContext>&>(m_dispatcher.Jobs()).append(context);
    return job.id;
}

QVariant TstLocalDispatcher::Raw(const QString& sql)
{
    QSqlQuery query(QSqlDatabase::database(QStringLiteral("AutoTest")));
    if (!query.exec(sql) || !query.first())
        return QVariant();
    return query.value(0);
}

void TstLocalDispatcher::reportsBecomeDetails_data()
{
    QTest::addColumn<QJsonObject>("report");
    QTest::addColumn<int>("finished");
    QTest::addColumn<QStringList>("statuses");
    QTest::addColumn<QStringList>("contents");
    const QJsonObject pass{{"result", true}, {"remark", "fine"}};
    const QJsonObject fail{{"result", false}, {"remark", "bad"}};
    QTest::newRow("shorter than the cases") << QJsonObject{{"VALUE", QJsonObject{{"tcs", QJsonArray{pass, fail}}}}} << 2
                                            << QStringList{"pass", "fail", "fail"} << QStringList{"fine", "bad", "not run"};
    QTest::newRow("no VALUE") << QJsonObject{} << 0 << QStringList{"fail", "fail", "fail"}
                              << QStringList{"job fail", "job fail", "job fail"};
    QTest::newRow("no more worker") << QJsonObject{{"VALUE", QJsonObject{{"result", false}, {"remark", "No more worker"}}}} << 0
                                    << QStringList{"fail", "fail", "fail"} << QStringList{"job fail", "job fail", "job fail"};
    QTest::newRow("only JSON true passes")
        << QJsonObject{{"VALUE", QJsonObject{{"tcs", QJsonArray{QJsonObject{{"result", 1}}, QJsonObject{{"result", "true"}}, pass, pass}}}}}
        << 4 << QStringList{"fail", "fail", "pass"} << QStringList{"", "", "fine"};
}

void TstLocalDispatcher::reportsBecomeDetails()
{
    QFETCH(QJsonObject, report);
    QFETCH(int, finished);
    QFETCH(QStringList, statuses);
    QFETCH(QStringList, contents);
    const int jobId = StartJob();
    QVERIFY(jobId > 0);
    m_dispatcher.ExecResult(jobId, report);
    QVERIFY(!m_dispatcher.FindJob(jobId));

    DBT_Job job;
    job.id = jobId;
    QVERIFY(m_model.GetJob(job));
    QCOMPARE(job.status, 3);
    QCOMPARE(job.finishCnt, finished);
    QVERIFY(job.eTime.isValid() && job.sTime.isValid());
    QList<DBT_JobDetail> details;
    QVERIFY(m_model.GetJobDetails(job, details));
    QCOMPARE(details.size(), 3);
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(details.at(i).seqIdx, i);
        QCOMPARE(details.at(i).status, statuses.at(i));
        QCOMPARE(details.at(i).content, contents.at(i));
        QCOMPARE(details.at(i).testcase->title, m_testcases.at(i).title);
    }
}

void TstLocalDispatcher::reportForAJobNotRunningIsIgnored()
{
    LogSpy log;
    const int before = Raw(QStringLiteral("select count(*) from T_JobDetail")).toInt();
    m_dispatcher.ExecResult(987654, QJsonObject{{"VALUE", QJsonObject{{"tcs", QJsonArray{QJsonObject{{"result", true}}}}}}});
    QCOMPARE(log.Count("LocalDispatcher", "LocalDispatcher::ExecResult", 1, "Report for job 987654 that is not running, ignored"), 1);
    QCOMPARE(Raw(QStringLiteral("select count(*) from T_JobDetail")).toInt(), before);
}

void TstLocalDispatcher::nullTimesAndTextsAreStoredAsNull()
{
    const int jobId = StartJob();
    // A running job has no end time: NULL, not an empty text.
    QCOMPARE(Raw(QStringLiteral("select typeof(eTime) from T_Job where id = %1").arg(jobId)).toString(), QStringLiteral("null"));
    QCOMPARE(Raw(QStringLiteral("select typeof(starter) from T_Job where id = %1").arg(jobId)).toString(), QStringLiteral("null"));
    // An entry without "remark" stores its detail's content as NULL.
    m_dispatcher.ExecResult(jobId, QJsonObject{{"VALUE", QJsonObject{{"tcs", QJsonArray{QJsonObject{{"result", true}}}}}}});
    QCOMPARE(Raw(QStringLiteral("select typeof(content) from T_JobDetail where jobId = %1 and seqIdx = 0").arg(jobId)).toString(),
             QStringLiteral("null"));
    QCOMPARE(Raw(QStringLiteral("select typeof(eTime) from T_Job where id = %1").arg(jobId)).toString(), QStringLiteral("text"));
}

KIV_TEST_MAIN_IN_PRIVATE_APP_DIR(TstLocalDispatcher)
#include "tst_localdispatcher.moc"
