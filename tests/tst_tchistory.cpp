// "tc_history" on SQLite and PostgreSQL (when KIV_TEST_PGURL is set): a test
// case's verdicts across jobs and devices, what counts as a run, and when a
// change of verdict makes the case flaky.

#include "base/ComponentMap.h"
#include "local/LocalCommandTable.h"
#include "server/CommandAccess.h"
#include "storage/LocalModel.h"
#include "tests/support/PgTestDatabase.h"

#include <QJsonArray>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

// One database and the command table over it.
struct Backend
{
    QString connection;
    LocalModel model;
    ComponentMap components;
    LocalCommandTable commands;

    bool Open(const QString& database, const QString& name)
    {
        connection = name;
        if (!model.Open(database, name))
            return false;
        components.Register("LocalModel", &model);
        commands.SetComponentMap(&components);
        return true;
    }
    QJsonObject Ask(const QJsonObject& request)
    {
        QJsonObject reply;
        if (!commands.Dispatch(request, reply))
            reply.insert("result", "not dispatched");
        return reply;
    }
    bool Exec(const QString& statement, const QVariantList& values)
    {
        QSqlQuery sql(QSqlDatabase::database(connection));
        sql.prepare(statement);
        for (const QVariant& value : values)
            sql.addBindValue(value);
        if (sql.exec())
            return true;
        qWarning() << statement << sql.lastError().text();
        return false;
    }
};

// Runs as "STATION DEVICE STATUS MINUTE [running]" ("-" for none), in the
// order the jobs are stored.
using Runs = QStringList;

} // namespace

class TstTcHistory : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    std::unique_ptr<Backend> m_sqlite;
    std::unique_ptr<PgTestDatabase> m_pgDatabase;
    std::unique_ptr<Backend> m_pg;
    // Whole minutes a day back, so that every run starts before the test case
    // is stored or changed by the database's own clock.
    QDateTime m_base;

    Backend* Of(const QString& backend) { return backend == "postgresql" ? m_pg.get() : m_sqlite.get(); }

    QDateTime At(int minute) const { return m_base.addSecs(60 * minute); }

private Q_SLOTS:
    void initTestCase()
    {
        const QDateTime now = QDateTime::currentDateTime().addDays(-1);
        m_base = QDateTime(now.date(), QTime(now.time().hour(), now.time().minute()));
        QVERIFY(m_dir.isValid());
        m_sqlite.reset(new Backend);
        QVERIFY2(m_sqlite->Open(m_dir.filePath("history.db3"), "tchistory-sqlite"), qPrintable(m_sqlite->model.ConnectionErrorText()));
        if (PgTestDatabase::Available()) {
            m_pgDatabase.reset(new PgTestDatabase);
            QVERIFY2(m_pgDatabase->Create(), qPrintable(m_pgDatabase->ErrorText()));
            m_pg.reset(new Backend);
            QVERIFY2(m_pg->Open(m_pgDatabase->Url(), "tchistory-pg"), qPrintable(m_pg->model.ConnectionErrorText()));
        }
    }

    void cleanupTestCase()
    {
        m_pg.reset();
        m_sqlite.reset();
        m_pgDatabase.reset();
    }

    void history_data()
    {
        QTest::addColumn<QString>("backend");
        QTest::addColumn<Runs>("runs");
        QTest::addColumn<int>("changed"); // minute of the test case's last change
        QTest::addColumn<int>("size");    // 0: not given
        QTest::addColumn<QStringList>("listed");
        QTest::addColumn<QString>("summary"); // runs passed pass_rate flaky

        Runs many;
        QStringList newest20;
        for (int minute = 1; minute <= 21; ++minute)
            many << QStringLiteral("a d1 pass %1").arg(minute);
        for (int minute = 21; minute >= 2; --minute)
            newest20 << QStringLiteral("%1 a/d1 pass").arg(minute);

        for (const QString backend : {"sqlite", "postgresql"}) {
            const auto row = [&backend](const char* name) -> QTestData& { return QTest::newRow(qPrintable(backend + ": " + name)) << backend; };
            // Stored out of order: the list follows the start; a running job is not listed.
            row("newest first, finished only")
                << Runs{"a d1 pass 1", "a d2 fail 3", "a d3 pass 2", "a d4 fail 4 running"} << -60 << 0
                << QStringList{"3 a/d2 fail", "2 a/d3 pass", "1 a/d1 pass"} << "3 2 0.667 false";
            row("one device alternates") << Runs{"a d1 pass 1", "a d1 error 2", "a d1 error 3"} << -60 << 0
                                         << QStringList{"3 a/d1 error", "2 a/d1 error", "1 a/d1 pass"} << "3 1 0.333 true";
            row("changed between the runs") << Runs{"a d1 pass 1", "a d1 fail 3"} << 2 << 0
                                            << QStringList{"3 a/d1 fail", "1 a/d1 pass"} << "2 1 0.5 false";
            // The change's second may hold the older run's start.
            row("changed in the second the older run started") << Runs{"a d1 pass 1", "a d1 fail 3"} << 1 << 0
                                                                << QStringList{"3 a/d1 fail", "1 a/d1 pass"} << "2 1 0.5 false";
            row("changed before an earlier pair only") << Runs{"a d1 fail 1", "a d1 pass 3", "a d1 fail 4"} << 2 << 0
                                                       << QStringList{"4 a/d1 fail", "3 a/d1 pass", "1 a/d1 fail"} << "3 1 0.333 true";
            // The same url on another station is another device.
            row("changes on different devices")
                << Runs{"a d1 pass 1", "b d1 fail 2", "a d2 fail 3", "a d1 pass 4", "- - fail 5", "- - pass 6"} << -60 << 0
                << QStringList{"6 -/- pass", "5 -/- fail", "4 a/d1 pass", "3 a/d2 fail", "2 b/d1 fail", "1 a/d1 pass"}
                << "6 3 0.5 false";
            row("not run is listed, not counted") << Runs{"a d1 pass 1", "a d1 not-run 2", "a d1 pass 3"} << -60 << 0
                                                  << QStringList{"3 a/d1 pass", "2 a/d1 not run", "1 a/d1 pass"} << "2 2 1 false";
            // Counts and flakiness are of the listed runs only.
            row("size bounds the list") << Runs{"a d1 fail 1", "a d1 pass 2", "a d1 pass 3"} << -60 << 2
                                        << QStringList{"3 a/d1 pass", "2 a/d1 pass"} << "2 2 1 false";
            row("twenty by default") << many << -60 << 0 << newest20 << "20 20 1 false";
            row("no runs") << Runs{"a d1 not-run 1"} << -60 << 1000 << QStringList{"1 a/d1 not run"} << "0 0 null false";
        }
    }

    void history()
    {
        QFETCH(QString, backend);
        QFETCH(Runs, runs);
        QFETCH(int, changed);
        QFETCH(int, size);
        QFETCH(QStringList, listed);
        QFETCH(QString, summary);
        Backend* db = Of(backend);
        if (!db)
            QSKIP("KIV_TEST_PGURL is not set (tools/pgtest.sh start)");

        const auto addTc = [db] {
            return db->Ask({{"cmd", "add_tc"}, {"testcase", QJsonObject{{"title", "t"}, {"content", "{}"}}}}).value("testcaseid").toInt();
        };
        const int tc = addTc();
        const int other = addTc();
        const QJsonObject plan = db->Ask({{"cmd", "create_plan"}, {"projectid", 1}, {"name", "p"}});
        QVERIFY(tc > 0 && other > 0 && plan.value("result") == "ok");
        const int planId = plan.value("planid").toInt();
        QHash<int, int> jobOf; // minute -> job id
        for (const QString& run : runs) {
            const QStringList part = run.split(' ');
            const int minute = part.at(3).toInt();
            DBT_Job job;
            job.planId = planId;
            job.projId = 1;
            job.status = part.size() > 4 ? 2 : 3;
            // Within the minute, so that only a comparison to the second tells it from a change then.
            job.sTime = At(minute).addMSecs(250);
            QVERIFY2(db->model.AddJob(job), qPrintable(db->model.LastErrorText()));
            jobOf.insert(minute, job.id);
            const auto orNull = [](const QString& text) { return text == "-" ? QVariant(QVariant::String) : QVariant(text); };
            QVERIFY(db->Exec("update T_Job set station = ?, device = ? where id = ?", {orNull(part.at(0)), orNull(part.at(1)), job.id}));
            const QString status = QString(part.at(2)).replace('-', ' ');
            DBT_JobDetail detail;
            detail.jobId = job.id;
            detail.tcId = tc;
            detail.status = status == "pass" ? "pass" : "fail";
            detail.content = status;
            detail.verdict = CaseVerdict::Of(status, status + " remark", 10 * minute);
            QVERIFY2(db->model.AddJobDetailOfCase(detail), qPrintable(db->model.LastErrorText()));
            // Another case of the same job, not in this one's history.
            detail.tcId = other;
            detail.seqIdx = 1;
            detail.verdict = CaseVerdict::Of(status == "pass" ? "fail" : "pass");
            QVERIFY2(db->model.AddJobDetailOfCase(detail), qPrintable(db->model.LastErrorText()));
        }
        // As the database writes it: local time to the second.
        QVERIFY(db->Exec("update T_Tc set mTime = ? where id = ?", {At(changed).toString("yyyy-MM-dd hh:mm:ss"), tc}));

        QJsonObject request{{"cmd", "tc_history"}, {"tcid", tc}};
        if (size)
            request.insert("size", size);
        const QJsonObject reply = db->Ask(request);
        QCOMPARE(reply.value("result").toString(), QString("ok"));
        QCOMPARE(reply.value("tcid").toInt(), tc);
        const QJsonValue rate = reply.value("pass_rate");
        QCOMPARE(QStringLiteral("%1 %2 %3 %4")
                     .arg(reply.value("runs").toInt(-1))
                     .arg(reply.value("passed").toInt(-1))
                     .arg(rate.isNull() ? QStringLiteral("null") : QString::number(rate.toDouble()))
                     .arg(reply.value("flaky").toBool() ? "true" : reply.value("flaky").isBool() ? "false" : "missing"),
                 summary);
        QStringList shown;
        for (const QJsonValue& value : reply.value("data").toArray()) {
            const QJsonObject entry = value.toObject();
            const int minute = int(m_base.secsTo(QDateTime::fromString(entry.value("time").toString(), "yyyy-MM-dd hh:mm:ss")) / 60);
            const QString station = entry.value("station").toString();
            const QString device = entry.value("device").toString();
            shown << QStringLiteral("%1 %2/%3 %4")
                         .arg(minute)
                         .arg(station.isEmpty() ? "-" : station, device.isEmpty() ? "-" : device, entry.value("status").toString());
            QCOMPARE(entry.value("jobid").toInt(), jobOf.value(minute));
            QCOMPARE(entry.value("planid").toInt(), planId);
            QCOMPARE(entry.value("remark").toString(), entry.value("status").toString() + " remark");
            QCOMPARE(entry.value("ms").toInt(), 10 * minute);
            QCOMPARE(entry.size(), 8);
        }
        QCOMPARE(shown, listed);
    }

    void refused_data()
    {
        QTest::addColumn<QJsonObject>("request");
        QTest::addColumn<QString>("result");
        const QString badTc = "tcid must be a test case id (an integer from 1)";
        const QString badSize = "size must be an integer from 1 to 1000";
        QTest::newRow("no tcid") << QJsonObject{} << badTc;
        QTest::newRow("tcid as text") << QJsonObject{{"tcid", "1"}} << badTc;
        QTest::newRow("tcid 0") << QJsonObject{{"tcid", 0}} << badTc;
        QTest::newRow("tcid a fraction") << QJsonObject{{"tcid", 1.5}} << badTc;
        QTest::newRow("tcid beyond int") << QJsonObject{{"tcid", 4294967297.0}} << badTc;
        QTest::newRow("no such test case") << QJsonObject{{"tcid", 999999}} << "test case 999999 does not exist";
        QTest::newRow("size 0") << QJsonObject{{"tcid", 1}, {"size", 0}} << badSize;
        QTest::newRow("size 1001") << QJsonObject{{"tcid", 1}, {"size", 1001}} << badSize;
        QTest::newRow("size as text") << QJsonObject{{"tcid", 1}, {"size", "20"}} << badSize;
        QTest::newRow("size null") << QJsonObject{{"tcid", 1}, {"size", QJsonValue()}} << badSize;
    }

    void refused()
    {
        QFETCH(QJsonObject, request);
        QFETCH(QString, result);
        request.insert("cmd", "tc_history");
        const QJsonObject reply = m_sqlite->Ask(request);
        QCOMPARE(reply.value("result").toString(), result);
        QCOMPARE(reply.size(), 1);
        // A viewer's read on the server.
        QVERIFY(CommandAccess::Needs("tc_history") == UserRole::Viewer);
    }
};

QTEST_GUILESS_MAIN(TstTcHistory)
#include "tst_tchistory.moc"
