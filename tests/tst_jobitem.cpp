// Parsing a job request into test-case items, strategies and results.

#include "device/IdNameCov.h"
#include "engine/JobItem.h"
#include "engine/TcExecutor.h"
#include "engine/TcExecutorPool.h"
#include "engine/TcStrategy.h"
#include "tests/support/JsonTools.h"
#include "tests/support/LogSpy.h"

#include <QtTest>

namespace {

QJsonObject testcase(const QJsonValue& id, const QJsonObject& content)
{
    return {{"testcaseid", id}, {"content", compact(content)}};
}

QJsonObject powerCase(int id)
{
    return testcase(id, {{"MODULE_NAME", "Power"}, {"GROUP_NAME", "Supply"}, {"DATA", QJsonArray{1, 2}}});
}

QJsonObject jobRequest(const QJsonArray& cases, const QJsonArray& strategies, const QJsonValue& script = QJsonValue::Undefined)
{
    return {{"jobid", 9}, {"planid", 4}, {"case_list", cases},
            {"content", compact({{"case_stratepy", strategies}, {"execute_script", script}})}};
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

    IdNameCov m_cov;

private Q_SLOTS:
    void initTestCase()
    {
        m_cov.SetModules(QJsonDocument::fromJson(R"([
            {"NAME":"Power","SEQ":1,"CASE_GROUPS":[{"NAME":"Supply","SEQ":3,"ITEMS":[]}]},
            {"NAME":"Radio","SEQ":2,"CASE_GROUPS":[{"NAME":"Tx","SEQ":4,"ITEMS":[]}]}])").array());
    }

    // Each row checks one form of DATA and of the id, and one list of strategies.
    void testCase_data()
    {
        QTest::addColumn<QJsonValue>("id");
        QTest::addColumn<QJsonValue>("script");
        QTest::addColumn<QJsonValue>("data");
        QTest::addColumn<QJsonArray>("strategies");
        QTest::addColumn<int>("pause");
        const QJsonObject d100{{"type", "s_deplay"}, {"time", 100}};
        const QJsonValue seven(7), none(QJsonValue::Undefined); // no script at all
        // DATA goes to the device as it came, whatever its type; a null one still counts as present.
        QTest::newRow("array, no strategies") << seven << QJsonValue("(function(){return 1;})")
                                              << QJsonValue(QJsonArray{QJsonObject{{"INDEX", 0}, {"VALUE", 5}}}) << QJsonArray() << 0;
        QTest::newRow("null, last wins") << seven << none << QJsonValue(QJsonValue::Null)
                                         << QJsonArray{d100, QJsonObject{{"type", "s_deplay"}, {"time", 300}}} << 300;
        QTest::newRow("object, other types ignored") << seven << none << QJsonValue(QJsonObject{{"a", 1}})
                                                     << QJsonArray{d100, QJsonObject{{"type", "S_DEPLAY"}, {"time", 5}}, 7} << 100;
        QTest::newRow("id as text, time as text") << QJsonValue("7") << none << QJsonValue(1)
                                                  << QJsonArray{QJsonObject{{"type", "s_deplay"}, {"time", "200"}}} << 0;
    }

    void testCase()
    {
        QFETCH(QJsonValue, id);
        QFETCH(QJsonValue, script);
        QFETCH(QJsonValue, data);
        QFETCH(QJsonArray, strategies);
        QFETCH(int, pause);
        TcItem item;
        const QJsonObject content{{"MODULE_NAME", "Radio"}, {"GROUP_NAME", "Tx"}, {"DATA", data}, {"execute_script", script}};
        QVERIFY(item.Init(testcase(id, content), &m_cov));
        QVERIFY(item.ParseStrategies(strategies));
        QCOMPARE(item.tcId, id.toInt()); // a text id counts as 0
        QCOMPARE(item.script, script.toString());
        QCOMPARE(item.caseData, (QJsonObject{{"MODULE_SEQ", 2}, {"GROUP_SEQ", 4}, {"DATA", data}}));
        QCOMPARE(pauseOf(item), pause);
    }

    void jobReInit_data()
    {
        QTest::addColumn<QJsonObject>("request");
        QTest::addColumn<int>("built");
        // The one log record expected, "" for none, as "[level] section function: text"; a
        // trailing line break makes it the whole text rather than its start.
        QTest::addColumn<QString>("logged");
        const auto job = [](const QString& text) { return "[0] JobItem JobItem::Init: " + text; };
        const auto tc = [](const QString& text) { return "[0] TcItem::Init TcItem::Init: " + text; };
        // A bad third case keeps the two built before it, but the job fails.
        const auto third = [](const QJsonObject& record) {
            return jobRequest({powerCase(1), powerCase(2), record}, {QJsonArray(), QJsonArray(), QJsonArray()});
        };
        const auto content = [&](const QJsonObject& fields) { return third(testcase(3, fields)); };
        QTest::newRow("no cases, no strategies") << QJsonObject{{"content", "{}"}} << 0 << QString();
        QTest::newRow("content not json") << QJsonObject{{"content", "not json"}} << 0 << job("[Parse Plan Content Json Fail]");
        QTest::newRow("counts differ") << jobRequest({powerCase(1), powerCase(2), powerCase(3)}, {QJsonArray(), QJsonArray()}) << 0
                                       << job("Tc cnt: 3 || Tc Strategy cnt: 2 || Not Match \n");
        QTest::newRow("case content not json") << third({{"content", "{"}}) << 2 << tc("[testcase content parse error]");
        QTest::newRow("case content array") << third({{"content", "[]"}}) << 2 << tc("[testcase content parse error]");
        QTest::newRow("case without content") << third({}) << 2 << tc("[testcase content parse error]");
        QTest::newRow("no module") << content({{"GROUP_NAME", "Tx"}, {"DATA", 1}}) << 2 << tc("[Content dont have MODULE_NAME]: ");
        QTest::newRow("no group") << content({{"MODULE_NAME", "Radio"}, {"DATA", 1}}) << 2 << tc("[Content dont have GROUP_NAME]");
        QTest::newRow("no data") << content({{"MODULE_NAME", "Radio"}, {"GROUP_NAME", "Tx"}}) << 2 << tc("[Content dont have DATA]");
        QTest::newRow("unknown group") << content({{"MODULE_NAME", "Radio"}, {"GROUP_NAME", "Supply"}, {"DATA", 1}}) << 2
                                       << tc("[Can't covert mod/group name to mod/group seq]");
    }

    // Every row re-inits a job that holds two cases, their strategies and a script.
    void jobReInit()
    {
        QFETCH(QJsonObject, request);
        QFETCH(int, built);
        QFETCH(QString, logged);
        JobItem job;
        const QJsonArray strategies{QJsonArray{QJsonObject{{"type", "s_deplay"}, {"time", 200}}}, QJsonArray()};
        QVERIFY(job.Init(jobRequest({powerCase(1), powerCase(2)}, strategies, "(function(){return true;})"), &m_cov));
        QCOMPARE(job.script, QStringLiteral("(function(){return true;})"));
        QCOMPARE(job.tcItems.size(), 2);
        const QList<int> parsed{job.jobId, job.planId, pauseOf(job.tcItems.at(0)), pauseOf(job.tcItems.at(1))};
        QCOMPARE(parsed, (QList<int>{9, 4, 200, 0}));

        LogSpy log;
        QCOMPARE(job.Init(request, &m_cov), logged.isEmpty());
        QCOMPARE(job.tcItems.size(), built);
        QVERIFY(job.script.isEmpty());
        QCOMPARE(log.Records().size(), logged.isEmpty() ? 0 : 1);
        QVERIFY2(log.Dump().startsWith(logged), qPrintable(log.Dump()));
    }

    void poolHandsOutOneExecutorAndRefusesStrangers()
    {
        TcExecutorPool pool;
        int resets = 0, released = 0;
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
        QCOMPARE((QList<int>{resets, released, pool.Created()}), (QList<int>{1, 1, 1}));
    }
};

QTEST_GUILESS_MAIN(TstJobItem)
#include "tst_jobitem.moc"
