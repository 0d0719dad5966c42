#include "engine/DataCollector.h"

#include "device/IdNameCov.h"
#include "tests/support/LogSpy.h"

#include <QJsonDocument>
#include <QtTest>

static QJsonObject obj(const char* text) { return QJsonDocument::fromJson(text).object(); }

// Index 9 is unknown and sits between known items; one entry has no VALUE.
static const char kMixed[] = R"({"MODULE_SEQ":1,"VALUE":[{"GROUP_SEQ":2,"INDEX":1,"VALUE":"a"},
    {"GROUP_SEQ":2,"INDEX":9,"VALUE":2},{"GROUP_SEQ":2,"INDEX":0},{"GROUP_SEQ":2,"INDEX":0,"VALUE":{"x":[1]}}]})";

class TestDataCollector : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void filesInArrivalOrderOnlyWhileCollecting()
    {
        // Module 1 observes "Volt" (index 0) and "Amp" (index 1) in group 2.
        IdNameCov cov;
        cov.SetModules(QJsonDocument::fromJson(R"([{"NAME":"Power","SEQ":1,"OBSE_GROUPS":[{"NAME":"Out","SEQ":2,
            "ITEMS":[{"NAME":"Volt","INDEX":0},{"NAME":"Amp","INDEX":1}]}]}])").array());
        DataCollector collector;
        collector.SetConverter(&cov);
        LogSpy log;

        collector.Add(obj(kMixed));
        QCOMPARE(collector.Data(), QJsonObject());
        collector.collecting = true;
        collector.Add(obj(R"({"MODULE_SEQ":1,"VALUE":[{"GROUP_SEQ":2,"INDEX":0,"VALUE":5}]})"));
        collector.Add(obj(kMixed));
        QCOMPARE(collector.Data(), obj(R"({"Power":{"Out":{"Volt":[5,null,{"x":[1]}],"Amp":["a"]}}})"));
        // Clear drops the data and stops collecting.
        collector.Clear();
        collector.Add(obj(kMixed));
        QCOMPARE(collector.Data(), QJsonObject());
        // Only the unknown index pushed while collecting is logged.
        QVERIFY2(log.Records().size() == 1, qPrintable(log.Dump()));
        QCOMPARE(log.Count("DataCollector", "DataCollector::Add", 1, " Fail to covert id data to name data ( 1 ,2 ,9 )"), 1);
    }
};

QTEST_GUILESS_MAIN(TestDataCollector)
#include "tst_datacollector.moc"
