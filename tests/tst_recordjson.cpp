#include "local/LocalJobContext.h"
#include "local/RecordJson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

static QJsonObject obj(const char* text) { return QJsonDocument::fromJson(text).object(); }

class TstRecordJson : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Distinct values catch mixed-up keys; a second read changes only its keys, resetting wrong types.
    void readAndWriteBack()
    {
        DBT_Testcase tc;
        JsonToTestcase(obj(R"({"testcaseid":7,"projectid":2,"timeout":30,"title":"t","path":"p","author":"a",
            "remark":"r","hw":"h","sw":"s","constraints":"c","tags":"x,y","content":"{}"})"), tc);
        JsonToTestcase(obj(R"({"title":3,"timeout":"30"})"), tc);
        QJsonObject out;
        TestcaseToJson(tc, out);
        QCOMPARE(out, obj(R"({"testcaseid":7,"projectid":2,"timeout":0,"title":"","path":"p","author":"a",
            "remark":"r","hw":"h","sw":"s","constraints":"c","tags":"x,y","content":"{}","date":"","mtime":""})"));
        DBT_Job job;
        JsonToJob(obj(R"({"jobid":1,"planid":2,"projectid":3,"total":4,"fin":5,"status":3,"starter":"me"})"), job);
        JsonToJob(obj(R"({"planid":"2","starter":4})"), job);
        job.sTime = QDateTime(QDate(2024, 3, 5), QTime(7, 8, 9, 500));
        out = QJsonObject{{"result", "ok"}, {"jobid", "stale"}}; // a reply's own keys stay beside the record
        JobToJson(job, out);
        QCOMPARE(out, obj(R"({"result":"ok","jobid":1,"planid":0,"projectid":3,"total":4,"fin":5,"status":3,
            "starter":"","stime":"2024-03-05 07:08:09","ftime":""})"));
    }

    void planTags_data()
    {
        QTest::addColumn<QJsonValue>("tags");
        QTest::addColumn<QString>("tag");
        QTest::newRow("absent") << QJsonValue(QJsonValue::Undefined) << "old";
        QTest::newRow("two strings") << QJsonValue(QJsonArray{"first", "second"}) << "first";
        QTest::newRow("plain string") << QJsonValue("first") << "";
        QTest::newRow("empty array") << QJsonValue(QJsonArray()) << "";
        QTest::newRow("number first") << QJsonValue(QJsonArray{1, "second"}) << "";
    }
    void planTags()
    {
        QFETCH(QJsonValue, tags);
        QFETCH(QString, tag);
        DBT_Plan plan(1);
        plan.name = "kept", plan.tag = "old";
        JsonToPlan(QJsonObject{{"planid", 9}, {"tags", tags}}, plan); // an Undefined value leaves the key out
        QCOMPARE(plan.tag, tag);
        QJsonObject out;
        PlanToJson(plan, out);
        QCOMPARE(out.take("tags"), QJsonValue(QJsonArray{tag}));
        QCOMPARE(out, obj(R"({"planid":9,"projectid":0,"name":"kept","author":"","remark":"","content":"",
            "ctime":"","mtime":""})"));
    }

    void detailContentYieldsToTestcase()
    {
        DBT_JobDetail detail{0, 0, 0, 2, "fail", "not run", nullptr};
        QJsonObject out;
        JobDetailToJson(detail, out);
        QCOMPARE(out, obj(R"({"jobdetailid":0,"seqidx":2,"status":"fail","content":"not run"})"));
        detail.testcase = std::make_shared<DBT_Testcase>(4);
        detail.testcase->content = "{}";
        JobDetailToJson(detail, out);
        QCOMPARE(out.value("content"), QJsonValue("{}"));
        QCOMPARE(out.value("testcaseid"), QJsonValue(4));
    }

    void parseContent_data()
    {
        QTest::addColumn<QJsonObject>("in");
        QTest::addColumn<bool>("ok");
        QTest::newRow("object") << QJsonObject{{"content", "{\"a\":1}"}} << true;
        QTest::newRow("array") << QJsonObject{{"content", "[1]"}} << false;
        QTest::newRow("not json") << QJsonObject{{"content", "{a:"}} << false;
        QTest::newRow("absent") << QJsonObject() << false;
        QTest::newRow("not a string") << QJsonObject{{"content", QJsonObject{{"a", 1}}}} << false;
    }
    void parseContent()
    {
        QFETCH(QJsonObject, in);
        QFETCH(bool, ok);
        QJsonObject out{{"untouched", true}};
        QString error;
        QCOMPARE(ParseContent(in, out, error), ok);
        QCOMPARE(out, (ok ? QJsonObject{{"a", 1}} : QJsonObject{{"untouched", true}}));
        QCOMPARE(error.isEmpty(), ok);
    }

    void contextDetails()
    {
        QList<DBT_Testcase> testcases{DBT_Testcase(10), DBT_Testcase(11), DBT_Testcase(12)};
        const LocalJobContext context("ws://dev", DBT_Job{42, 0, 0, 0, 0, 0, {}, {}, {}}, DBT_Plan(3), testcases);
        testcases[0].title = "changed later";
        QCOMPARE(context.details.size(), 3);
        for (int i = 0; i < 3; ++i) {
            const DBT_JobDetail& detail = context.details.at(i);
            QCOMPARE(QList<int>({detail.seqIdx, detail.jobId, detail.tcId, detail.testcase->id}),
                     QList<int>({i, 42, 10 + i, 10 + i}));
            QCOMPARE(detail.status, QString("running"));
        }
        // The context holds its own test cases, and a copy of it shares them.
        QVERIFY(context.details.at(0).testcase->title.isNull());
        const LocalJobContext copy = context;
        QCOMPARE(copy.details.at(1).testcase.get(), context.details.at(1).testcase.get());
    }
};

QTEST_GUILESS_MAIN(TstRecordJson)
#include "tst_recordjson.moc"
