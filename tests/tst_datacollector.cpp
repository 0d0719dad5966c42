#include "engine/DataCollector.h"

#include "device/IdNameCov.h"
#include "tests/support/LogSpy.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

namespace {

QJsonValue json(const char* text)
{
    const QJsonDocument document = QJsonDocument::fromJson(text);
    return document.isArray() ? QJsonValue(document.array()) : QJsonValue(document.object());
}

// Module 1 observes "Volt" (index 0) and "Amp" (index 1) in group 2; module 0,
// group 0, index 0 is what a push without numbers names.
IdNameCov* converter()
{
    static IdNameCov cov;
    cov.SetModules(json(R"([
        {"NAME":"Power","SEQ":1,"OBSE_GROUPS":[{"NAME":"Out","SEQ":2,"ITEMS":[
            {"NAME":"Volt","INDEX":0},{"NAME":"Amp","INDEX":1}]}]},
        {"NAME":"Zero","SEQ":0,"OBSE_GROUPS":[{"NAME":"G0","SEQ":0,"ITEMS":[{"NAME":"I0","INDEX":0}]}]}
    ])").toArray());
    return &cov;
}

QString failure(int module, int group, int index)
{
    return QStringLiteral(" Fail to covert id data to name data ( %1 ,%2 ,%3 )").arg(module).arg(group).arg(index);
}

} // namespace

class TestDataCollector : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void add_data();
    void add();
    void ignoredWhileIdle();
};

void TestDataCollector::add_data()
{
    QTest::addColumn<QJsonArray>("pushes");
    QTest::addColumn<QJsonObject>("data");
    QTest::addColumn<QStringList>("failures");

    QTest::newRow("arrival order across pushes")
        << json(R"([{"MODULE_SEQ":1,"VALUE":[{"GROUP_SEQ":2,"INDEX":0,"VALUE":5}]},
                    {"MODULE_SEQ":1,"VALUE":[{"GROUP_SEQ":2,"INDEX":1,"VALUE":"a"},
                                             {"GROUP_SEQ":2,"INDEX":0,"VALUE":6}]}])").toArray()
        << json(R"({"Power":{"Out":{"Volt":[5,6],"Amp":["a"]}}})").toObject() << QStringList();
    QTest::newRow("empty VALUE")
        << json(R"([{"MODULE_SEQ":1,"VALUE":[]}])").toArray() << QJsonObject() << QStringList();
    QTest::newRow("VALUE not an array")
        << json(R"([{"MODULE_SEQ":1,"VALUE":{"GROUP_SEQ":2,"INDEX":0,"VALUE":5}}])").toArray() << QJsonObject()
        << QStringList();
    QTest::newRow("unknown index in the middle")
        << json(R"([{"MODULE_SEQ":1,"VALUE":[{"GROUP_SEQ":2,"INDEX":0,"VALUE":1},
                    {"GROUP_SEQ":2,"INDEX":9,"VALUE":2},{"GROUP_SEQ":2,"INDEX":1,"VALUE":3}]}])").toArray()
        << json(R"({"Power":{"Out":{"Volt":[1],"Amp":[3]}}})").toObject() << QStringList{failure(1, 2, 9)};
    QTest::newRow("unknown module") << json(R"([{"MODULE_SEQ":7,"VALUE":[{"GROUP_SEQ":2,"VALUE":1}]}])").toArray()
                                    << QJsonObject() << QStringList{failure(7, 2, 0)};
    QTest::newRow("missing value is null, structured values kept")
        << json(R"([{"MODULE_SEQ":1,"VALUE":[{"GROUP_SEQ":2,"INDEX":0},
                                             {"GROUP_SEQ":2,"INDEX":0,"VALUE":{"x":[1]}}]}])").toArray()
        << json(R"({"Power":{"Out":{"Volt":[null,{"x":[1]}]}}})").toObject() << QStringList();
    QTest::newRow("missing numbers read as 0") << json(R"([{"VALUE":[{"VALUE":true}]}])").toArray()
                                               << json(R"({"Zero":{"G0":{"I0":[true]}}})").toObject() << QStringList();
}

void TestDataCollector::add()
{
    QFETCH(QJsonArray, pushes);
    QFETCH(QStringList, failures);

    DataCollector collector;
    collector.SetConverter(converter());
    collector.collecting = true;
    LogSpy log;
    for (const QJsonValue& push : pushes)
        collector.Add(push.toObject());
    QTEST(collector.Data(), "data");
    QCOMPARE(log.WithPrefix("DataCollector", QString()).size(), failures.size());
    for (const QString& text : failures)
        QVERIFY2(log.Count("DataCollector", "DataCollector::Add", 1, text) == 1, qPrintable(log.Dump()));
}

void TestDataCollector::ignoredWhileIdle()
{
    const QJsonObject known = json(R"({"MODULE_SEQ":1,"VALUE":[{"GROUP_SEQ":2,"INDEX":0,"VALUE":5}]})").toObject();
    const QJsonObject unknown = json(R"({"MODULE_SEQ":7,"VALUE":[{"GROUP_SEQ":2,"INDEX":0,"VALUE":5}]})").toObject();
    DataCollector collector;
    collector.SetConverter(converter());
    LogSpy log;
    collector.Add(known);
    collector.Add(unknown);
    QCOMPARE(collector.Data(), QJsonObject());

    collector.collecting = true;
    collector.Add(known);
    QCOMPARE(collector.Data().size(), 1);
    collector.Clear();
    collector.Add(known);
    collector.Add(unknown);
    QCOMPARE(collector.Data(), QJsonObject());
    QVERIFY2(log.Records().isEmpty(), qPrintable(log.Dump()));
}

QTEST_GUILESS_MAIN(TestDataCollector)
#include "tst_datacollector.moc"
