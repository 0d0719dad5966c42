// Recording a local job's results, against a database of the test's own.

#include "front/ComponentMap.h"
#include "local/LocalDispatcher.h"
#include "storage/LocalModel.h"
#include "tests/support/LogSpy.h"
#include "tests/support/PrivateAppDir.h"

#include <QJsonArray>
#include <QtTest>

namespace {

QJsonObject tcs(const QJsonArray& entries)
{
    return {{"VALUE", QJsonObject{{"tcs", entries}}}};
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

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_model.Open());
        m_components.Register("LocalModel", &m_model);
        m_dispatcher.SetComponentMap(&m_components);
        m_plan.projId = 1;
        m_plan.name = QStringLiteral("plan");
        QVERIFY(m_model.AddPlan(m_plan));
        for (const char* title : {"a", "b", "c"}) {
            DBT_Testcase tc;
            tc.projId = 1;
            tc.title = title;
            tc.content = QStringLiteral("{}");
            QVERIFY(m_model.AddTestcase(tc));
            m_testcases.append(tc);
        }
    }

    void reportsBecomeDetails_data()
    {
        QTest::addColumn<QJsonObject>("report");
        QTest::addColumn<int>("finished");
        QTest::addColumn<QStringList>("details"); // "seqIdx title status: content", NULL content as NULL
        const QJsonObject pass{{"result", true}, {"remark", "fine"}};
        const QJsonObject fail{{"result", false}, {"remark", "bad"}};
        const QStringList jobFail{"0 a fail: job fail", "1 b fail: job fail", "2 c fail: job fail"};
        QTest::newRow("shorter than the cases") << tcs({pass, fail}) << 2
                                                << QStringList{"0 a pass: fine", "1 b fail: bad", "2 c fail: not run"};
        QTest::newRow("no VALUE") << QJsonObject{} << 0 << jobFail;
        QTest::newRow("no more worker") << QJsonObject{{"VALUE", QJsonObject{{"result", false}, {"remark", "No more worker"}}}} << 0
                                        << jobFail;
        // Entries without "remark" store their content as NULL.
        QTest::newRow("only JSON true passes") << tcs({QJsonObject{{"result", 1}}, QJsonObject{{"result", "true"}}, pass, pass}) << 4
                                               << QStringList{"0 a fail: NULL", "1 b fail: NULL", "2 c pass: fine"};
    }

    void reportsBecomeDetails()
    {
        QFETCH(QJsonObject, report);
        QFETCH(int, finished);
        // A running job of the three test cases, listed as "execute_job_local" lists it but handed
        // to no worker: the test plays the worker and reports.
        DBT_Job job;
        job.planId = m_plan.id;
        job.projId = 1;
        job.status = 2;
        job.totalCnt = m_testcases.size();
        job.sTime = QDateTime::currentDateTime();
        QVERIFY(m_model.AddJob(job));
        const_cast<QList<LocalJobContext>&>(m_dispatcher.Jobs()).append(LocalJobContext("d/1", job, m_plan, m_testcases));
        // Until then it has no end time and no starter: NULL, not an empty text.
        QCOMPARE(DatabaseRows(QStringLiteral("select typeof(eTime) || ' ' || typeof(starter) from T_Job where id = %1").arg(job.id)),
                 QStringList{"null null"});

        m_dispatcher.ExecResult(job.id, report);
        QVERIFY(!m_dispatcher.FindJob(job.id));
        // A worker torn down may report once more; that report is ignored.
        LogSpy log;
        m_dispatcher.ExecResult(job.id, report);
        QCOMPARE(log.Count("LocalDispatcher", "LocalDispatcher::ExecResult", 1,
                           QStringLiteral("Report for job %1 that is not running, ignored").arg(job.id)), 1);

        DBT_Job stored;
        stored.id = job.id;
        QVERIFY(m_model.GetJob(stored) && stored.sTime.isValid() && stored.eTime.isValid());
        QCOMPARE(stored.status, 3);
        QCOMPARE(stored.finishCnt, finished);
        QTEST(DatabaseRows("select seqIdx || ' ' || title || ' ' || status || ': ' || ifnull(d.content, 'NULL')"
                   " from T_JobDetail d join T_Tc t on t.id = d.tcId where jobId = " + QString::number(job.id) + " order by seqIdx"),
              "details");
    }

    void failedSaveLeavesTheJobAsStarted()
    {
        // The last detail's test case is gone: its insert fails after the job
        // row and two details were written, and all of that is undone.
        DBT_Job job;
        job.planId = m_plan.id;
        job.status = 2;
        QVERIFY(m_model.AddJob(job));
        const_cast<QList<LocalJobContext>&>(m_dispatcher.Jobs())
            .append(LocalJobContext("d/1", job, m_plan, m_testcases.mid(0, 2) + QList<DBT_Testcase>{DBT_Testcase(999999)}));
        LogSpy log;
        m_dispatcher.ExecResult(job.id, tcs({QJsonObject{{"result", true}}}));
        QCOMPARE(log.WithPrefix("LocalDispatcher", " Fail to save jobDetail FOREIGN KEY").size(), 1);
        QVERIFY(m_dispatcher.FindJob(job.id));
        const QString id = QString::number(job.id);
        QCOMPARE(DatabaseRows("select status || ' ' || ifnull(eTime, 'NULL') from T_Job where id = " + id), QStringList{"2 NULL"});
        QCOMPARE(DatabaseRows("select count(*) from T_JobDetail where jobId = " + id), QStringList{"0"});
        m_dispatcher.RemoveJob(job.id);
    }
};

KIV_TEST_MAIN_IN_PRIVATE_APP_DIR(TstLocalDispatcher)
#include "tst_localdispatcher.moc"
