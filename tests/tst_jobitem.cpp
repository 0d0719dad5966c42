// Parsing a job request into test-case items, strategies and results.

#include "device/IdNameCov.h"
#include "engine/JobItem.h"
#include "engine/TcExecutor.h"
#include "engine/TcExecutorPool.h"
#include "engine/TcStrategy.h"
#include "tests/support/LogSpy.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

namespace {

QJsonArray deviceModules()
{
    return QJsonDocument::fromJson(R"([
        {"NAME":"Power","SEQ":1,"CASE_GROUPS":[{"NAME":"Supply","SEQ":3,"ITEMS":[]}]},
        {"NAME":"Radio","SEQ":2,"CASE_GROUPS":[{"NAME":"Tx","SEQ":4,"ITEMS":[]}]}])").array();
}

QString compact(const QJsonObject& object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QJsonObject testcase(int id, const QJsonObject& content)
{
    return {{"testcaseid", id}, {"content", compact(content)}};
}

QJsonObject powerCase(int id)
{
    return testcase(id, {{"MODULE_NAME", "Power"}, {"GROUP_NAME", "Supply"}, {"DATA", QJsonArray{1, 2}}});
}

QJsonObject jobRequest(const QJsonArray& cases, const QJsonObject& content)
{
    return {{"jobid", 9}, {"planid", 4}, {"case_list", cases}, {"content", compact(content)}};
}

int pauseOf(const TcItem& item)
{
    TcExecutor executor;
    for (const auto& strategy : item.strategies)
        strategy->Apply(&executor);
    return executor.postDelay;
}

} // namespace

class TstJobItem : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { m_cov.SetModules(deviceModules()); }
    void testCaseBecomesDeviceData_data();
    void testCaseBecomesDeviceData();
    void testCaseFailuresAreLogged_data();
    void testCaseFailuresAreLogged();
    void strategiesSetThePause_data();
    void strategiesSetThePause();
    void jobPairsCasesWithStrategies();
    void jobFailures();
    void poolHandsOutOneExecutorAndRefusesStrangers();

private:
    IdNameCov m_cov;
};

void TstJobItem::testCaseBecomesDeviceData_data()
{
    QTest::addColumn<QJsonValue>("data");
    QTest::newRow("array") << QJsonValue(QJsonArray{QJsonObject{{"INDEX", 0}, {"VALUE", 5}}});
    QTest::newRow("null") << QJsonValue(QJsonValue::Null);
    QTest::newRow("object") << QJsonValue(QJsonObject{{"a", 1}});
}

void TstJobItem::testCaseBecomesDeviceData()
{
    QFETCH(QJsonValue, data);
    TcItem item;
    QVERIFY(item.Init(testcase(7, {{"MODULE_NAME", "Radio"}, {"GROUP_NAME", "Tx"}, {"DATA", data},
                                   {"execute_script", "(function(){return 1;})"}}), &m_cov));
    QCOMPARE(item.tcId, 7);
    QCOMPARE(item.script, QStringLiteral("(function(){return 1;})"));
    QCOMPARE(item.caseData, (QJsonObject{{"MODULE_SEQ", 2}, {"GROUP_SEQ", 4}, {"DATA", data}}));

    // A string id counts as 0; no script leaves it empty.
    TcItem other;
    QVERIFY(other.Init({{"testcaseid", "7"}, {"content", compact({{"MODULE_NAME", "Power"}, {"GROUP_NAME", "Supply"}, {"DATA", 1}})}},
                       &m_cov));
    QCOMPARE(other.tcId, 0);
    QVERIFY(other.script.isEmpty());
}

void TstJobItem::testCaseFailuresAreLogged_data()
{
    QTest::addColumn<QJsonObject>("record");
    QTest::addColumn<QString>("message");
    QTest::newRow("content not json") << QJsonObject{{"content", "{"}} << "[testcase content parse error]";
    QTest::newRow("content array") << QJsonObject{{"content", "[]"}} << "[testcase content parse error]";
    QTest::newRow("no content") << QJsonObject{} << "[testcase content parse error]";
    QTest::newRow("no module") << testcase(1, {{"GROUP_NAME", "Tx"}, {"DATA", 1}}) << "[Content dont have MODULE_NAME]: ";
    QTest::newRow("no group") << testcase(1, {{"MODULE_NAME", "Radio"}, {"DATA", 1}}) << "[Content dont have GROUP_NAME]";
    QTest::newRow("no data") << testcase(1, {{"MODULE_NAME", "Radio"}, {"GROUP_NAME", "Tx"}}) << "[Content dont have DATA]";
    QTest::newRow("unknown group") << testcase(1, {{"MODULE_NAME", "Radio"}, {"GROUP_NAME", "Supply"}, {"DATA", 1}})
                                   << "[Can't covert mod/group name to mod/group seq]";
}

void TstJobItem::testCaseFailuresAreLogged()
{
    QFETCH(QJsonObject, record);
    QFETCH(QString, message);
    LogSpy log;
    TcItem item;
    QVERIFY(!item.Init(record, &m_cov));
    const auto records = log.WithPrefix("TcItem::Init", message);
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.at(0).level, 0);
    QCOMPARE(records.at(0).function, QByteArray("TcItem::Init"));
}

void TstJobItem::strategiesSetThePause_data()
{
    QTest::addColumn<QJsonArray>("strategies");
    QTest::addColumn<int>("pause");
    const QJsonObject d100{{"type", "s_deplay"}, {"time", 100}};
    const QJsonObject d300{{"type", "s_deplay"}, {"time", 300}};
    QTest::newRow("none") << QJsonArray() << 0;
    QTest::newRow("last wins") << QJsonArray{d100, d300} << 300;
    QTest::newRow("other types ignored") << QJsonArray{d100, QJsonObject{{"type", "S_DEPLAY"}, {"time", 5}}, 7} << 100;
    QTest::newRow("time as text") << QJsonArray{QJsonObject{{"type", "s_deplay"}, {"time", "200"}}} << 0;
}

void TstJobItem::strategiesSetThePause()
{
    QFETCH(QJsonArray, strategies);
    QFETCH(int, pause);
    TcItem item;
    QVERIFY(item.ParseStrategies(strategies));
    QCOMPARE(pauseOf(item), pause);
}

void TstJobItem::jobPairsCasesWithStrategies()
{
    JobItem job;
    const QJsonArray strategies{QJsonArray{QJsonObject{{"type", "s_deplay"}, {"time", 200}}}, QJsonArray()};
    QVERIFY(job.Init(jobRequest({powerCase(1), powerCase(2)},
                                {{"execute_script", "(function(){return true;})"}, {"case_stratepy", strategies}}),
                     &m_cov));
    QCOMPARE(job.jobId, 9);
    QCOMPARE(job.planId, 4);
    QCOMPARE(job.script, QStringLiteral("(function(){return true;})"));
    QCOMPARE(job.tcItems.size(), 2);
    QCOMPARE(pauseOf(job.tcItems.at(0)), 200);
    QCOMPARE(pauseOf(job.tcItems.at(1)), 0);

    // No test cases and no strategies is a valid, empty job; a re-init starts afresh.
    QVERIFY(job.Init(jobRequest({}, {}), &m_cov));
    QVERIFY(job.tcItems.isEmpty());
    QVERIFY(job.script.isEmpty());
}

void TstJobItem::jobFailures()
{
    LogSpy log;
    JobItem job;
    QVERIFY(!job.Init({{"content", "not json"}}, &m_cov));
    QCOMPARE(log.WithPrefix("JobItem", "[Parse Plan Content Json Fail]").size(), 1);

    QVERIFY(!job.Init(jobRequest({powerCase(1), powerCase(2), powerCase(3)}, {{"case_stratepy", QJsonArray{QJsonArray(), QJsonArray()}}}),
                      &m_cov));
    QCOMPARE(log.Count("JobItem", "JobItem::Init", 0, "Tc cnt: 3 || Tc Strategy cnt: 2 || Not Match "), 1);
    QVERIFY(job.tcItems.isEmpty());

    // A bad third case keeps the two built before it, but the job fails.
    const QJsonArray cases{powerCase(1), powerCase(2), testcase(3, {{"MODULE_NAME", "Nope"}, {"GROUP_NAME", "Tx"}, {"DATA", 1}})};
    QVERIFY(!job.Init(jobRequest(cases, {{"case_stratepy", QJsonArray{QJsonArray(), QJsonArray(), QJsonArray()}}}), &m_cov));
    QCOMPARE(job.tcItems.size(), 2);
}

void TstJobItem::poolHandsOutOneExecutorAndRefusesStrangers()
{
    TcExecutorPool pool;
    int resets = 0;
    int released = 0;
    pool.onReset = [&resets](TcExecutor* executor) { executor->Reset(); ++resets; };
    pool.onReleased = [&released] { ++released; };
    TcExecutor* first = pool.Acquire();
    QVERIFY(first);
    QVERIFY(!pool.Acquire()); // capacity 1
    first->postDelay = 50;
    QVERIFY(pool.Release(first));
    QCOMPARE(first->postDelay, 0);
    QCOMPARE(pool.Acquire(), first);
    TcExecutor stranger;
    QVERIFY(!pool.Release(&stranger));
    QCOMPARE(resets, 1);
    QCOMPARE(released, 1);
    QCOMPARE(pool.Created(), 1);
}

QTEST_GUILESS_MAIN(TstJobItem)
#include "tst_jobitem.moc"
