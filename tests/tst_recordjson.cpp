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
        // A detail's own content stands until a test case is attached; then the test case's keys join and its content wins.
        DBT_JobDetail detail{0, 0, 0, 2, "fail", "not run", nullptr};
        out = {};
        JobDetailToJson(detail, out);
        QCOMPARE(out, obj(R"({"jobdetailid":0,"seqidx":2,"status":"fail","content":"not run"})"));
        detail.testcase = std::make_shared<DBT_Testcase>(tc);
        JobDetailToJson(detail, out);
        QCOMPARE(QJsonArray({out["content"], out["testcaseid"], out["status"]}), QJsonArray({"{}", 7, "fail"}));
    }

    // The list writer spells the same objects as the record writer, whatever the texts hold.
    void testcaseListsAsRecords()
    {
        QList<DBT_Testcase> list{DBT_Testcase(), DBT_Testcase(2)};
        DBT_Testcase& tc = list[1];
        tc.projId = -3, tc.timeout = 2147483647;
        tc.title = QString::fromUtf8("quote \" back \\ slash / tab\t nl\n \x01 \x7f é 漢 😀");
        tc.path = QString(QChar(0xd800)) + "lone" + QChar(0xdc00), tc.author = "", tc.content = R"({"a":[1,"\u0000"]})";
        tc.date = QDateTime(QDate(2024, 3, 5), QTime(7, 8, 9, 500));
        tc.mTime = QDateTime(QDate(12024, 1, 1), QTime(0, 0));
        QJsonArray expected;
        for (const DBT_Testcase& record : list) {
            QJsonObject object;
            TestcaseToJson(record, object);
            expected.append(object);
        }
        const QJsonArray written = TestcasesToJson(list);
        QCOMPARE(written, expected);
        QCOMPARE(QJsonDocument(written).toJson(), QJsonDocument(expected).toJson());
        QCOMPARE(TestcasesToJson({}), QJsonArray());
    }

    // A plan keeps the first of the client's tags when that is a string, else ""; without "tags" its own.
    void planTags()
    {
        const QJsonValue absent(QJsonValue::Undefined); // leaves the key out of the object
        for (const auto& [tags, tag] : {std::pair<QJsonValue, QString>{absent, "old"}, {QJsonArray{"first", "second"}, "first"},
                                        {"first", ""}, {QJsonArray(), ""}, {QJsonArray{1, "second"}, ""}}) {
            DBT_Plan plan(1);
            plan.name = "kept", plan.tag = "old";
            JsonToPlan(QJsonObject{{"planid", 9}, {"tags", tags}}, plan);
            QJsonObject out;
            PlanToJson(plan, out);
            QCOMPARE(out.take("tags"), QJsonValue(QJsonArray{tag}));
            QCOMPARE(out, obj(R"({"planid":9,"projectid":0,"name":"kept","author":"","remark":"","content":"",
                "ctime":"","mtime":""})"));
        }
    }

    // Only the text of a JSON object parses; otherwise `out` stays as it was and `error` says why.
    void parseContent()
    {
        const QJsonValue absent(QJsonValue::Undefined), notAString(QJsonObject{{"a", 1}});
        for (const auto& [content, ok] : {std::pair<QJsonValue, bool>{"{\"a\":1}", true}, {"[1]", false},
                                          {"{a:", false}, {absent, false}, {notAString, false}}) {
            QJsonObject out{{"untouched", true}};
            QString error;
            QCOMPARE(ParseContent({{"content", content}}, out, error), ok);
            QCOMPARE(out, (ok ? QJsonObject{{"a", 1}} : QJsonObject{{"untouched", true}}));
            QCOMPARE(error.isEmpty(), ok);
        }
    }

    void contextDetails()
    {
        QList<DBT_Testcase> testcases{DBT_Testcase(10), DBT_Testcase(11), DBT_Testcase(12)};
        const LocalJobContext context("ws://dev", DBT_Job{42, 0, 0, 0, 0, 0, {}, {}, {}}, DBT_Plan(3), testcases);
        testcases[0].title = "changed later";
        QCOMPARE(context.details.size(), 3);
        for (int i = 0; i < 3; ++i) {
            const DBT_JobDetail& d = context.details.at(i);
            QCOMPARE(QVariantList({d.seqIdx, d.jobId, d.tcId, d.testcase->id, d.status}), QVariantList({i, 42, 10 + i, 10 + i, "running"}));
        }
        // The context holds its own test cases, and a copy of it shares them.
        QVERIFY(context.details.at(0).testcase->title.isNull());
        const LocalJobContext copy = context;
        QCOMPARE(copy.details.at(1).testcase.get(), context.details.at(1).testcase.get());
    }
};

QTEST_GUILESS_MAIN(TstRecordJson)
#include "tst_recordjson.moc"
