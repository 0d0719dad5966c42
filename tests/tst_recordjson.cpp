#include "local/LocalJobContext.h"
#include "local/RecordJson.h"

#include <QJsonArray>
#include <QtTest>

class TstRecordJson : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void writesExactKeys_data()
    {
        QTest::addColumn<QJsonObject>("written");
        QTest::addColumn<QStringList>("keys");
        QJsonObject tc, plan, job, detail;
        TestcaseToJson(DBT_Testcase(), tc);
        PlanToJson(DBT_Plan(), plan);
        JobToJson(DBT_Job(), job);
        JobDetailToJson(DBT_JobDetail(), detail);
        QTest::newRow("testcase") << tc << QStringList{"testcaseid", "projectid", "timeout", "title", "path", "author",
            "remark", "hw", "sw", "constraints", "tags", "content", "date", "mtime"};
        QTest::newRow("plan") << plan
            << QStringList{"planid", "projectid", "name", "author", "remark", "content", "ctime", "mtime", "tags"};
        QTest::newRow("job") << job
            << QStringList{"jobid", "planid", "projectid", "total", "fin", "status", "starter", "stime", "ftime"};
        QTest::newRow("detail") << detail << QStringList{"jobdetailid", "seqidx", "status", "content"};
    }
    void writesExactKeys()
    {
        QFETCH(QJsonObject, written);
        QFETCH(QStringList, keys);
        QStringList actual = written.keys();
        actual.sort();
        keys.sort();
        QCOMPARE(actual, keys);
    }

    void writesIntoReplyWithTimesAndEmptyTexts()
    {
        DBT_Job job;
        job.status = 3;
        job.sTime = QDateTime(QDate(2024, 3, 5), QTime(7, 8, 9, 500));
        QJsonObject out{{"result", "ok"}, {"jobid", "stale"}};
        JobToJson(job, out);
        QCOMPARE(out.value("result"), QJsonValue("ok"));
        QCOMPARE(out.value("jobid"), QJsonValue(0));
        QCOMPARE(out.value("status"), QJsonValue(3));
        QCOMPARE(out.value("stime"), QJsonValue("2024-03-05 07:08:09"));
        // Clients expect strings even for an unfinished job and an unset text.
        QCOMPARE(out.value("ftime"), QJsonValue(""));
        QCOMPARE(out.value("starter"), QJsonValue(""));
    }

    void testcaseRoundTrip()
    {
        DBT_Testcase tc(7);
        tc.projId = 2, tc.timeout = 30, tc.title = "t", tc.path = "p", tc.author = "a", tc.remark = "r";
        tc.hw = "h", tc.sw = "s", tc.constraints = "c", tc.tags = "x,y", tc.content = "{\"DATA\":1}";
        QJsonObject json;
        TestcaseToJson(tc, json);
        QCOMPARE(json.value("tags"), QJsonValue("x,y"));
        DBT_Testcase back;
        JsonToTestcase(json, back);
        const auto fields = [](const DBT_Testcase& t) {
            return QStringList{QString::number(t.id), QString::number(t.projId), QString::number(t.timeout), t.title,
                               t.path, t.author, t.remark, t.hw, t.sw, t.constraints, t.tags, t.content};
        };
        QCOMPARE(fields(back), fields(tc));
    }

    void planTags_data()
    {
        QTest::addColumn<QJsonValue>("tags");
        QTest::addColumn<QString>("tag");
        QTest::newRow("two strings") << QJsonValue(QJsonArray{"first", "second"}) << "first";
        QTest::newRow("plain string") << QJsonValue("first") << "";
        QTest::newRow("empty array") << QJsonValue(QJsonArray()) << "";
        QTest::newRow("number first") << QJsonValue(QJsonArray{1, "second"}) << "";
    }
    void planTags()
    {
        QFETCH(QJsonValue, tags);
        QFETCH(QString, tag);
        DBT_Plan plan;
        plan.tag = "old";
        JsonToPlan(QJsonObject{{"tags", tags}}, plan);
        QCOMPARE(plan.tag, tag);
        QJsonObject out;
        PlanToJson(plan, out);
        QCOMPARE(out.value("tags"), QJsonValue(QJsonArray{tag}));
    }

    void readingOverridesOnlyPresentKeys()
    {
        DBT_Plan plan(1);
        plan.name = "kept";
        JsonToPlan(QJsonObject{{"planid", 9}}, plan);
        QCOMPARE(plan.id, 9);
        QCOMPARE(plan.name, QString("kept"));

        // A present key of the wrong type resets the field instead of keeping it.
        DBT_Job job;
        job.id = 5, job.starter = "me";
        JsonToJob(QJsonObject{{"jobid", "12"}, {"status", 2.5}, {"starter", 4}}, job);
        QCOMPARE(job.id, 0);
        QCOMPARE(job.status, 0);
        QVERIFY(job.starter.isNull());
        DBT_Testcase tc;
        tc.title = "old";
        JsonToTestcase(QJsonObject{{"title", 3}, {"date", "2024-03-05 07:08:09"}}, tc);
        QVERIFY(tc.title.isNull());
        QVERIFY(tc.date.isNull());
    }

    void detailContentYieldsToTestcase()
    {
        DBT_JobDetail detail;
        detail.status = "fail";
        detail.content = "not run";
        QJsonObject bare;
        JobDetailToJson(detail, bare);
        QCOMPARE(bare.value("content"), QJsonValue("not run"));
        QVERIFY(!bare.contains("testcaseid"));

        detail.testcase = std::make_shared<DBT_Testcase>(4);
        detail.testcase->content = "{}";
        QJsonObject withCase;
        JobDetailToJson(detail, withCase);
        QCOMPARE(withCase.value("content"), QJsonValue("{}"));
        QCOMPARE(withCase.value("testcaseid"), QJsonValue(4));
        QCOMPARE(withCase.value("status"), QJsonValue("fail"));
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
        const QJsonObject before{{"untouched", true}};
        QJsonObject out = before;
        QString error;
        QCOMPARE(ParseContent(in, out, error), ok);
        QCOMPARE(out, (ok ? QJsonObject{{"a", 1}} : before));
        QCOMPARE(error.isEmpty(), ok);
    }

    void contextDetails()
    {
        DBT_Job job;
        job.id = 42;
        QList<DBT_Testcase> testcases{DBT_Testcase(10), DBT_Testcase(11), DBT_Testcase(12)};
        const LocalJobContext context("ws://dev", job, DBT_Plan(3), testcases);
        testcases[0].title = "changed later";
        QCOMPARE(context.details.size(), 3);
        for (int i = 0; i < 3; ++i) {
            const DBT_JobDetail& detail = context.details.at(i);
            QCOMPARE(detail.seqIdx, i);
            QCOMPARE(detail.jobId, 42);
            QCOMPARE(detail.tcId, 10 + i);
            QCOMPARE(detail.status, QString("running"));
            QVERIFY(detail.content.isNull());
            QCOMPARE(detail.testcase->id, 10 + i);
        }
        // The context holds its own test cases, and a copy of it shares them.
        QVERIFY(context.details.at(0).testcase->title.isNull());
        const LocalJobContext copy = context;
        QCOMPARE(copy.details.at(1).testcase.get(), context.details.at(1).testcase.get());
    }
};

QTEST_GUILESS_MAIN(TstRecordJson)
#include "tst_recordjson.moc"
