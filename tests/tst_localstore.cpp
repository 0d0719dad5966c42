// The local store against a database of the test's own: what an existing file
// gains at open, paging at the edges of 32-bit arithmetic, the order pages
// follow, test cases without a path, and plan lists that change whole or not.

#include "base/ComponentMap.h"
#include "front/RequestEnvelope.h"
#include "local/LocalCommandTable.h"
#include "storage/LocalModel.h"
#include "tests/support/PrivateAppDir.h"

#include <QJsonArray>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

#include <climits>

namespace {

QJsonArray ids(const QJsonArray& records, const char* key)
{
    QJsonArray out;
    for (const QJsonValue& record : records)
        out.append(record.toObject().value(QLatin1String(key)));
    return out;
}

} // namespace

class TstLocalStore : public QObject
{
    Q_OBJECT
    LocalModel m_model;
    ComponentMap m_components;
    LocalCommandTable m_commands;
    QJsonArray m_byPath; // ids in the order pages list them: NULL path first, then path ignoring case, then id

    QJsonObject Ask(QJsonObject request)
    {
        QJsonObject reply;
        if (!m_commands.Dispatch(request, reply))
            reply.insert("result", "not dispatched");
        return reply;
    }
    int AddTestcase(const QJsonObject& fields)
    {
        QJsonObject testcase = fields;
        testcase.insert("title", "t");
        testcase.insert("content", "{}");
        return Ask({{"cmd", "add_tc"}, {"testcase", testcase}}).value("testcaseid").toInt();
    }

private Q_SLOTS:
    void initTestCase()
    {
        // A file as it was before the store had indexes: plain tables in the rollback journal.
        {
            LocalModel old;
            QVERIFY(old.Open());
            for (const QString& index : DatabaseRows("select name from sqlite_master where type = 'index' and name like 'I_%'"))
                QVERIFY(QSqlQuery(QSqlDatabase::database(QStringLiteral("AutoTest"))).exec("drop index " + index));
            QCOMPARE(DatabaseRows("PRAGMA journal_mode=DELETE"), QStringList{"delete"});
            // Nor verdicts: a job finished then, one case passed and one not run.
            QSqlQuery sql(QSqlDatabase::database(QStringLiteral("AutoTest")));
            for (const char* column : {"T_Job drop column vResult", "T_Job drop column vRemark", "T_Job drop column vReason",
                                       "T_Job drop column caseIds", "T_Job drop column secret", "T_Job drop column seen",
                                       "T_JobDetail drop column vStatus", "T_JobDetail drop column vRemark", "T_JobDetail drop column vMs"})
                QVERIFY2(sql.exec(QStringLiteral("alter table %1").arg(QLatin1String(column))), qPrintable(sql.lastError().text()));
            for (const char* statement : {"insert into T_Plan (id, projId, name) values (90, 1, 'old')",
                                          "insert into T_Tc (id, projId, title, content) values (90, 1, 'old a', '{}')",
                                          "insert into T_Tc (id, projId, title, content) values (91, 1, 'old b', '{}')",
                                          "insert into T_Job (id, planId, projId, totalCnt, finishCnt, status) values (90, 90, 1, 2, 1, 3)",
                                          "insert into T_JobDetail (jobId, tcId, seqIdx, status, content) values (90, 90, 0, 'pass', 'fine')",
                                          "insert into T_JobDetail (jobId, tcId, seqIdx, status, content) values (90, 91, 1, 'fail', 'not run')"})
                QVERIFY2(sql.exec(QLatin1String(statement)), qPrintable(sql.lastError().text()));
        }
        QSqlDatabase::removeDatabase(QStringLiteral("AutoTest"));

        QVERIFY(m_model.Open());
        m_components.Register("LocalModel", &m_model);
        m_commands.SetComponentMap(&m_components);
        const int radioRx = AddTestcase({{"path", "Radio/rx"}});
        const int power = AddTestcase({{"path", "power"}});
        const int noPath = AddTestcase({});
        const int radioTx = AddTestcase({{"path", "radio/tx"}});
        const int radioRx2 = AddTestcase({{"path", "radio/RX"}});
        const int wildcard = AddTestcase({{"path", "r_dio"}});
        m_byPath = {noPath, power, wildcard, radioRx, radioRx2, radioTx};
        QVERIFY(radioRx > 0 && radioRx2 > radioTx);
        for (const char* name : {"p1", "p2"})
            QCOMPARE(Ask({{"cmd", "create_plan"}, {"projectid", 1}, {"name", name}, {"tags", QJsonArray{"p"}}}).value("result"),
                     QJsonValue("ok"));
    }

    void existingFileGainsIndexesAndWal()
    {
        QCOMPARE(DatabaseRows("select count(*) from sqlite_master where type = 'index' and name like 'I\\_%' escape '\\'"),
                 QStringList{"11"});
        QCOMPARE(DatabaseRows("PRAGMA journal_mode"), QStringList{"wal"});
        QCOMPARE(DatabaseRows("PRAGMA synchronous"), QStringList{"1"}); // NORMAL
        // The prefix match must stay a range search of the path index: only an
        // index with the collation `like` compares with allows that.
        const QStringList plan = DatabaseRows("explain query plan select count(*) from T_Tc where path like ?", "ab%", 3);
        QVERIFY2(plan.join(' ').contains("I_Tc_path (path>? AND path<?)"), qPrintable(plan.join(' ')));
    }

    void existingFileGainsVerdicts()
    {
        // The old job reads as it was; its verdicts are what its records tell.
        const QJsonObject detail = Ask({{"cmd", "job_detail"}, {"jobid", 90}, {"verdicts", true}});
        // Not every case passed, so it did not.
        QCOMPARE(detail.value("job")["verdict"].toObject(), (QJsonObject{{"result", false}, {"remark", ""}, {"reason", ""}}));
        QStringList cases;
        for (const QJsonValue& value : detail.value("jobdetail").toArray())
            cases << value["title"].toString() + ": " + value["status"].toString() + " " + value["verdict"]["status"].toString();
        QCOMPARE(cases, (QStringList{"old a: pass pass", "old b: fail not run"}));
        QCOMPARE(DatabaseRows("select count(*) from pragma_table_info('T_JobDetail') where name in ('vStatus', 'vRemark', 'vMs')"),
                 QStringList{"3"});
        QCOMPARE(Ask({{"cmd", "del_plan"}, {"planid", 90}}).value("result"), QJsonValue("ok"));
        for (const int tc : {90, 91})
            QCOMPARE(Ask({{"cmd", "del_tc"}, {"testcaseid", tc}}).value("result"), QJsonValue("ok"));
    }

    void paging_data()
    {
        QTest::addColumn<QJsonObject>("request");
        QTest::addColumn<QString>("expected"); // "count maxpage page rows"
        QTest::newRow("prefix ignores case, _ is a wildcard")
            << QJsonObject{{"cmd", "proj_tcs"}, {"path", "r_D"}, {"size", 2}, {"page", 2}} << "4 2 2 2";
        QTest::newRow("lowest page reads the first")
            << QJsonObject{{"cmd", "proj_tcs"}, {"path", "radio"}, {"size", 2}, {"page", INT_MIN}}
            << QStringLiteral("3 2 %1 2").arg(INT_MIN);
        QTest::newRow("largest size is one page")
            << QJsonObject{{"cmd", "proj_tcs"}, {"path", "radio"}, {"size", INT_MAX}} << "3 1 1 3";
        QTest::newRow("largest page and size")
            << QJsonObject{{"cmd", "proj_tcs"}, {"size", INT_MAX}, {"page", INT_MAX}} << QStringLiteral("6 1 %1 0").arg(INT_MAX);
        QTest::newRow("plans, largest size") << QJsonObject{{"cmd", "my_plans"}, {"tags", QJsonArray{"p"}}, {"size", INT_MAX}}
                                             << "2 1 1 2";
    }

    void paging()
    {
        QFETCH(QJsonObject, request);
        const QJsonObject page = Ask(request);
        QTEST(QStringLiteral("%1 %2 %3 %4").arg(page.value("count").toInt()).arg(page.value("maxpage").toInt())
                  .arg(page.value("page").toInt()).arg(page.value("data").toArray().size()),
              "expected");
    }

    void pagesFollowPathThenId()
    {
        // Consecutive pages of every size list each test case exactly once, in the written order.
        for (int size = 1; size <= 4; ++size) {
            QJsonArray listed;
            for (int page = 1; page <= (m_byPath.size() + size - 1) / size; ++page)
                for (const QJsonValue& id : ids(Ask({{"cmd", "proj_tcs"}, {"size", size}, {"page", page}}).value("data").toArray(), "testcaseid"))
                    listed.append(id);
            QCOMPARE(listed, m_byPath);
        }
        // A test case given without "path" keeps NULL: only the empty path finds it.
        QCOMPARE(DatabaseRows("select typeof(path) from T_Tc where id = ?", m_byPath.first().toInt()), QStringList{"null"});
        QCOMPARE(Ask({{"cmd", "proj_tcs"}, {"path", "%"}, {"size", 10}}).value("count").toInt(), m_byPath.size() - 1);
    }

    void planListsChangeWholeOrNotAtAll()
    {
        const int plan = Ask({{"cmd", "create_plan"}, {"projectid", 1}, {"name", "whole"}}).value("planid").toInt();
        const int a = m_byPath.at(1).toInt();
        const int b = m_byPath.at(2).toInt();
        const auto planIds = [&] { return ids(Ask({{"cmd", "plan_tcs"}, {"planid", plan}}).value("data").toArray(), "testcaseid"); };
        // The list's order and repeats are kept.
        QCOMPARE(ids(Ask({{"cmd", "sync_plan"}, {"planid", plan}, {"tclist", QJsonArray{b, a, b}}}).value("data").toArray(), "testcaseid"),
                 (QJsonArray{b, a, b}));
        // "x" reads as test case 0, which does not exist: nothing of the new list is kept.
        QVERIFY(Ask({{"cmd", "sync_plan"}, {"planid", plan}, {"tclist", QJsonArray{a, a, "x", b}}}).value("result").toString()
                    .contains("FOREIGN KEY"));
        QCOMPARE(planIds(), (QJsonArray{b, a, b}));

        // Longer than the limit: refused before anything is read or stored.
        QJsonArray list;
        for (int i = 0; i <= 100000; ++i)
            list.append(a);
        QCOMPARE(Ask({{"cmd", "sync_plan"}, {"planid", plan}, {"tclist", list}}),
                 (QJsonObject{{"result", "tclist has 100001 test case ids, more than the limit of 100000; the plan is unchanged"}}));
        m_commands.SetMaxTcList(3);
        QCOMPARE(Ask({{"cmd", "sync_plan"}, {"planid", plan}, {"tclist", QJsonArray{a, b, a, b}}}).value("result"),
                 QJsonValue("tclist has 4 test case ids, more than the limit of 3; the plan is unchanged"));
        QCOMPARE(planIds(), (QJsonArray{b, a, b}));
        QCOMPARE(Ask({{"cmd", "sync_plan"}, {"planid", plan}, {"tclist", QJsonArray{a, b, a}}}).value("result"), QJsonValue("ok"));
        m_commands.SetMaxTcList(100000);
        QCOMPARE(Ask({{"cmd", "sync_plan"}, {"planid", plan}, {"tclist", QJsonArray()}}).value("data"), QJsonValue(QJsonArray()));
    }

    // A plan's list is stored only when the reply that shows it fits the reply
    // limit, which counts the bytes the reply takes, not characters.
    void planListsTooLargeToAnswerAreNotStored_data()
    {
        QTest::addColumn<QString>("unit");
        QTest::newRow("ASCII") << "a";
        QTest::newRow("two bytes in UTF-8") << QStringLiteral("\u00e9");
        QTest::newRow("three bytes in UTF-8") << QStringLiteral("\u20ac");
        QTest::newRow("escaped") << "\"";
        QTest::newRow("control characters") << QStringLiteral("\u0001");
        QTest::newRow("surrogate pairs") << QStringLiteral("\U0001F600");
    }

    void planListsTooLargeToAnswerAreNotStored()
    {
        QFETCH(QString, unit);
        const qint64 limit = 30000;
        m_model.SetReadLimit(limit);
        const int plan = Ask({{"cmd", "create_plan"}, {"projectid", 1}, {"name", "bounded"}}).value("planid").toInt();
        QString text;
        while (text.size() < 2000)
            text += unit;
        const int tc = Ask({{"cmd", "add_tc"}, {"testcase", QJsonObject{{"title", "t"}, {"content", text}}}}).value("testcaseid").toInt();
        QJsonArray stored;
        bool refusedWithinUnits = false;
        for (int n = 1; n <= 14; ++n) {
            QJsonArray list;
            for (int i = 0; i < n; ++i)
                list.append(tc);
            QJsonObject reply = Ask({{"cmd", "sync_plan"}, {"planid", plan}, {"tclist", list}});
            reply.insert("cmd", "sync_plan");
            bool tooLarge = false;
            RequestEnvelope::Reply(reply, "9007199254740993", &tooLarge, {}, limit);
            if (reply.value("result") == QLatin1String("ok")) {
                QVERIFY2(!tooLarge, qPrintable(QStringLiteral("%1 test cases stored, but their reply is too large").arg(n)));
                stored = list;
            } else {
                QVERIFY2(reply.value("result").toString().startsWith("Reply too large"), qPrintable(reply.value("result").toString()));
                refusedWithinUnits = refusedWithinUnits || qint64(n) * text.size() < limit / 2;
            }
            QCOMPARE(ids(Ask({{"cmd", "plan_tcs"}, {"planid", plan}}).value("data").toArray(), "testcaseid"), stored);
        }
        // Every kind of text reaches the limit within the lists tried, and the
        // wider ones while their characters come to less than half of it.
        QVERIFY(stored.size() < 14);
        QCOMPARE(refusedWithinUnits, unit != "a");
        m_model.SetReadLimit(RequestEnvelope::DefaultMaxReplySize);
        QCOMPARE(Ask({{"cmd", "del_plan"}, {"planid", plan}}).value("result"), QJsonValue("ok"));
        QCOMPARE(Ask({{"cmd", "del_tc"}, {"testcaseid", tc}}).value("result"), QJsonValue("ok"));
    }

    // A statement past its deadline is stopped with a clear text, and so is a
    // wait for a lock another connection holds; the connection stays usable.
    void statementsHaveADeadline()
    {
        QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("other"));
        other.setDatabaseName(LocalModel::FilePath());
        QVERIFY(other.open());
        QSqlQuery bulk(other);
        QVERIFY2(bulk.exec("with recursive n(i) as (select 1 union all select i + 1 from n where i < 300000) "
                           "insert into T_Tc (projId, title, path, content) select 1, 'bulk', 'bulk/' || i, '{}' from n;"),
                 qPrintable(bulk.lastError().text()));
        // A leading wildcard reads every row: far longer than a millisecond.
        const QJsonObject scan{{"cmd", "proj_tcs"}, {"path", "%nowhere"}, {"size", 10}};
        m_model.SetStatementTimeout(1);
        QCOMPARE(Ask(scan).value("result").toString(), QStringLiteral("The database took longer than 1 ms; the work was stopped"));
        m_model.SetStatementTimeout(0);
        QCOMPARE(Ask(scan).value("result").toString(), QStringLiteral("ok"));

        QVERIFY(bulk.exec("delete from T_Tc where title = 'bulk';"));
        QVERIFY(bulk.exec("begin immediate;"));
        m_model.SetStatementTimeout(300);
        QVERIFY(Ask({{"cmd", "add_tc"}, {"testcase", QJsonObject{{"title", "t"}, {"content", "{}"}}}}).value("result").toString()
                    .contains("locked"));
        QVERIFY(bulk.exec("rollback;"));
        QCOMPARE(Ask({{"cmd", "add_tc"}, {"testcase", QJsonObject{{"title", "t"}, {"content", "{}"}}}}).value("result").toString(),
                 QStringLiteral("ok"));
        m_model.SetStatementTimeout(0);
        bulk = QSqlQuery();
        other.close();
    }
};

KIV_TEST_MAIN_IN_PRIVATE_APP_DIR(TstLocalStore)
#include "tst_localstore.moc"
