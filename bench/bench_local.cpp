// Local-mode figures through the host, each beside the same statements run
// directly by the sqlite3 command-line tool on the same database file.
//
// Default mode, on a small database:
//   add_tc     - sequential requests per second from one client;
//   proj_tcs   - p50/p99 latency of pages of 50 spread over 100 000 test cases;
//   my_reports - p50/p99 latency with 10 000 finished jobs.
// --scale, on a lab-sized database (1 000 000 test cases, 100 000 plan links,
// 100 000 finished jobs, 1 000 000 job details) built in one transaction by
// the sqlite3 tool: p50/p99 of each request against its target, the tool's
// mean for the model's statements as the floor, and the add_tc rate.
// Prints one summary line per figure.

#include "apps/common/SignalQuit.h"
#include "tests/support/HostProcess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTimer>
#include <QWebSocket>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

const int kTestcases = 100000;
const int kJobs = 10000;
const int kAdds = 2000;
const int kSamples = 300;
const int kPageSize = 50;

// The lab-sized database of --scale.
const int kScaleTestcases = 1000000;
const int kScalePlans = 1000;
const int kScaleLinks = 100000;
const int kScaleJobs = 100000;
const int kScaleDetails = 1000000;
const int kScaleSamples = 200;
const int kSyncIds = 2000;

// What the model sets on its connection, so that the tool's figures are a
// floor for the same configuration.
const QByteArray kToolPragmas = "PRAGMA foreign_keys=ON;\nPRAGMA synchronous=NORMAL;\nPRAGMA cache_size=-65536;\n";

bool interrupted()
{
    return SignalQuit::LastSignal() != 0;
}

class Client
{
public:
    bool Connect(const QUrl& url)
    {
        QObject::connect(&m_socket, &QWebSocket::textMessageReceived,
                         [this](const QString& text) { m_last = text; ++m_replies; });
        QSignalSpy connected(&m_socket, &QWebSocket::connected);
        m_socket.setMaxAllowedIncomingMessageSize(256 * 1024 * 1024);
        m_socket.open(url);
        // Wakes the waits below so that their deadline is seen; the timed
        // processEvents overload would spin instead of waiting.
        m_tick.start(50);
        return connected.wait(10000);
    }
    // Sends and waits for the answer; returns it, or {} after 60 s or a signal.
    QJsonObject Ask(const QJsonObject& request)
    {
        const int expected = m_replies + 1;
        m_socket.sendTextMessage(QString::fromUtf8(QJsonDocument(request).toJson(QJsonDocument::Compact)));
        QDeadlineTimer deadline(60000);
        while (m_replies < expected && !deadline.hasExpired() && !interrupted())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        return m_replies < expected ? QJsonObject() : QJsonDocument::fromJson(m_last.toUtf8()).object();
    }

private:
    QWebSocket m_socket;
    QTimer m_tick;
    QString m_last;
    int m_replies = 0;
};

// Runs SQL through sqlite3 on the file; returns the wall time in ms, -1 on failure.
double runSqlite(const QString& database, const QByteArray& sql)
{
    QProcess sqlite;
    QElapsedTimer timer;
    timer.start();
    sqlite.setStandardOutputFile(QProcess::nullDevice());
    sqlite.start(QStringLiteral("sqlite3"), {database});
    if (!sqlite.waitForStarted(10000))
        return -1;
    // Wait for the host's locks instead of failing at once.
    sqlite.write(".timeout 10000\n" + sql);
    sqlite.closeWriteChannel();
    if (!sqlite.waitForFinished(600000) || sqlite.exitCode() != 0) {
        std::fprintf(stderr, "bench_local: sqlite3 failed: %s\n", sqlite.readAllStandardError().constData());
        return -1;
    }
    return timer.nsecsElapsed() / 1e6;
}

// Mean ms of one run of `sql` by the tool, start-up and a first (warming) run
// left out: the difference between runs + 1 and 1 repetitions, over `runs`.
double toolMean(const QString& database, const std::function<QByteArray(int)>& sql, int runs)
{
    QByteArray once = kToolPragmas + sql(0);
    QByteArray many = kToolPragmas;
    for (int i = 0; i <= runs; ++i)
        many += sql(i);
    const double first = runSqlite(database, once);
    const double all = runSqlite(database, many);
    return first < 0 || all < 0 ? -1 : qMax(0.0, (all - first) / runs);
}

double percentile(QList<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values.at(qMin(values.size() - 1, int(p * values.size())));
}

QString content()
{
    return QStringLiteral(R"({"MODULE_NAME":"Power","GROUP_NAME":"Supply","DATA":[{"INDEX":0,"VALUE":1}]})");
}

QByteArray number(qint64 value)
{
    return QByteArray::number(value);
}

// The model's statements for a page of test cases, with the values inlined.
QByteArray pageSql(const QByteArray& path, int page, int size)
{
    const QByteArray where = path.isEmpty() ? QByteArray() : " where path like '" + path + "%'";
    const QByteArray order = " order by path collate nocase, id";
    return "select count(*) from T_Tc" + where + ";\nselect * from T_Tc where id in (select id from T_Tc" + where + order
        + " limit " + number(size) + " offset " + number(qint64(page - 1) * size) + ")" + order + ";\n";
}

int runSmall(HostProcess& host, Client& client)
{
    const QString database = host.AppDir() + QStringLiteral("/Data/autotest.db3");
    // add_tc, one request after the other.
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < kAdds && !interrupted(); ++i) {
        const QJsonObject reply = client.Ask({{"CMD", "add_tc"},
            {"testcase", QJsonObject{{"projectid", 1}, {"title", QStringLiteral("tc %1").arg(i)}, {"path", "bench/add"},
                                     {"content", content()}}}});
        if (reply.value("result").toString() != QLatin1String("ok")) {
            std::fprintf(stderr, "bench_local: add_tc failed: %s\n", QJsonDocument(reply).toJson().constData());
            return 1;
        }
    }
    const double addRate = kAdds / (timer.nsecsElapsed() / 1e9);
    QByteArray inserts;
    for (int i = 0; i < kAdds; ++i)
        inserts += "insert into T_Tc (projId,title,path,content) values (1,'cli " + QByteArray::number(i)
                   + "','bench/cli','{}');\n";
    const double cliAddMs = runSqlite(database, kToolPragmas + inserts);
    const double cliAddRate = cliAddMs > 0 ? kAdds / (cliAddMs / 1000) : 0;
    std::printf("add_tc: %.0f requests/s through the host; sqlite3 tool, same inserts one by one: %.0f/s; "
                "host/tool %.2f (target >= 0.10)\n", addRate, cliAddRate, cliAddRate > 0 ? addRate / cliAddRate : 0.0);
    std::fflush(stdout);

    // Fill the tables in one transaction: 100 000 test cases, 10 000 finished jobs.
    QByteArray fill = "begin;\n"
        "with recursive n(i) as (select 1 union all select i + 1 from n where i < " + QByteArray::number(kTestcases - 2 * kAdds) + ")\n"
        "insert into T_Tc (projId,title,path,author,tags,timeout,content) select 1, 'filler ' || i, 'bench/fill/' || (i % 100), "
        "'bench', 'load', 0, '" + content().toUtf8() + "' from n;\n"
        "insert into T_Plan (projId,name,tag,content) values (1,'bench','bench','{}');\n"
        "with recursive n(i) as (select 1 union all select i + 1 from n where i < " + QByteArray::number(kJobs) + ")\n"
        "insert into T_Job (planId,projId,totalCnt,finishCnt,status,starter,sTime,eTime) select "
        "(select max(id) from T_Plan), 1, 20, 20, 3, 'bench', datetime('now'), datetime('now') from n;\n"
        "commit;\n";
    if (interrupted() || runSqlite(database, fill) < 0)
        return 1;

    // proj_tcs pages spread evenly over the whole table.
    const int pages = kTestcases / kPageSize;
    QList<double> hostMs;
    QByteArray statements = kToolPragmas;
    for (int i = 0; i < kSamples && !interrupted(); ++i) {
        const int page = 1 + int(QRandomGenerator::global()->bounded(pages));
        timer.restart();
        const QJsonObject reply = client.Ask({{"CMD", "proj_tcs"}, {"path", "bench"}, {"page", page}, {"size", kPageSize}});
        hostMs.append(timer.nsecsElapsed() / 1e6);
        if (reply.value("count").toInt() != kTestcases || reply.value("data").toArray().size() != kPageSize) {
            std::fprintf(stderr, "bench_local: unexpected proj_tcs page %d: count %d, %d rows\n", page,
                         reply.value("count").toInt(), int(reply.value("data").toArray().size()));
            return 1;
        }
        statements += pageSql("bench", page, kPageSize);
    }
    const double cliPageMs = runSqlite(database, statements) / kSamples;
    std::printf("proj_tcs: p50 %.2f ms, p99 %.2f ms over %d pages of %d among %d test cases (target p99 < 50 ms); "
                "sqlite3 tool, same statements: %.2f ms each; host p50/tool %.1f (target <= 10)\n",
                percentile(hostMs, 0.5), percentile(hostMs, 0.99), kSamples, kPageSize, kTestcases, cliPageMs,
                cliPageMs > 0 ? percentile(hostMs, 0.5) / cliPageMs : 0.0);
    std::fflush(stdout);

    // my_reports with 10 000 finished jobs.
    hostMs.clear();
    statements = kToolPragmas;
    for (int i = 0; i < kSamples && !interrupted(); ++i) {
        timer.restart();
        const QJsonObject reply = client.Ask({{"CMD", "my_reports"}});
        hostMs.append(timer.nsecsElapsed() / 1e6);
        if (reply.value("data").toArray().size() != 20) {
            std::fprintf(stderr, "bench_local: unexpected my_reports answer\n");
            return 1;
        }
        statements += "select * from T_Job where status = 3 order by id desc limit 20;\n";
    }
    const double cliReportMs = runSqlite(database, statements) / kSamples;
    std::printf("my_reports: p50 %.2f ms, p99 %.2f ms with %d finished jobs; sqlite3 tool, same statement: %.2f ms each; "
                "host p50/tool %.1f (target <= 10)\n",
                percentile(hostMs, 0.5), percentile(hostMs, 0.99), kJobs, cliReportMs,
                cliReportMs > 0 ? percentile(hostMs, 0.5) / cliReportMs : 0.0);
    return interrupted() ? 1 : 0;
}

// Test case i (from 1) has the path suiteD/groupGGG/tcIIIIIII: D = i % 10, so
// "Suite3/" (any case) matches 100 000; plan p links test cases of 100
// positions spread over the table; job j has 10 details.
int scaleTestcaseOfDetail(int detail) { return int(qint64(detail) * 104729 % kScaleTestcases) + 1; }

QByteArray scaleFill()
{
    const int linksPerPlan = kScaleLinks / kScalePlans;
    const int detailsPerJob = kScaleDetails / kScaleJobs;
    return "PRAGMA cache_size=-400000;\nbegin;\n"
        "with recursive n(i) as (select 1 union all select i + 1 from n where i < " + number(kScaleTestcases) + ")\n"
        "insert into T_Tc (projId,title,path,author,tags,timeout,content) select 1, 'tc ' || i, "
        "printf('suite%d/group%03d/tc%07d', i % 10, (i / 10) % 1000, i), 'bench', 'load', 0, '" + content().toUtf8()
        + "' from n;\n"
        "with recursive n(i) as (select 1 union all select i + 1 from n where i < " + number(kScalePlans + 1) + ")\n"
        "insert into T_Plan (projId,name,tag,content) select 1, 'plan ' || i, 'tag' || (i % 10), '{}' from n;\n"
        "with recursive n(i) as (select 0 union all select i + 1 from n where i < " + number(kScaleLinks - 1) + ")\n"
        "insert into T_PlanTC (planId,tcId) select i / " + number(linksPerPlan) + " + 1, i * 7919 % "
        + number(kScaleTestcases) + " + 1 from n;\n"
        "with recursive n(i) as (select 0 union all select i + 1 from n where i < " + number(kScaleJobs - 1) + ")\n"
        "insert into T_Job (planId,projId,totalCnt,finishCnt,status,starter,sTime,eTime) select i % "
        + number(kScalePlans) + " + 1, 1, 10, 10, 3, 'bench', datetime('now'), datetime('now') from n;\n"
        "with recursive n(i) as (select 0 union all select i + 1 from n where i < " + number(kScaleDetails - 1) + ")\n"
        "insert into T_JobDetail (jobId,tcId,seqIdx,status,content) select i / " + number(detailsPerJob) + " + 1, i * 104729 % "
        + number(kScaleTestcases) + " + 1, i % " + number(detailsPerJob) + ", 'pass', 'fine' from n;\n"
        "commit;\nPRAGMA wal_checkpoint(TRUNCATE);\n";
}

struct ScaleRow
{
    QString name;
    double targetMs; // the percentile below, under this
    double percentile; // 0.99, or 0.5 for a target on the typical request
    std::function<QJsonObject(int sample)> request;
    std::function<bool(const QJsonObject& reply)> check;
    std::function<QByteArray(int sample)> sql; // the model's statements for that request
};

QJsonArray syncList(int sample)
{
    QJsonArray ids;
    for (int i = 0; i < kSyncIds; ++i)
        ids.append(int((qint64(i) * 499 + sample % 2) % kScaleTestcases) + 1);
    return ids;
}

int runScale(HostProcess& host, Client& client)
{
    const QString database = host.AppDir() + QStringLiteral("/Data/autotest.db3");
    QElapsedTimer timer;
    timer.start();
    if (runSqlite(database, scaleFill()) < 0)
        return 1;
    std::printf("built %d test cases, %d plan links, %d finished jobs, %d job details in %.1f s\n", kScaleTestcases,
                kScaleLinks, kScaleJobs, kScaleDetails, timer.nsecsElapsed() / 1e9);
    std::fflush(stdout);

    const auto pageRow = [](const char* name, double target, const QString& path, int page, int size, int count) {
        const QByteArray pathSql = path.toUtf8();
        return ScaleRow{QString::fromUtf8(name), target, 0.99,
            [=](int) { return QJsonObject{{"CMD", "proj_tcs"}, {"path", path}, {"page", page}, {"size", size}}; },
            [=](const QJsonObject& reply) {
                return reply.value("count").toInt() == count && reply.value("data").toArray().size() == qMin(size, count);
            },
            [=](int) { return pageSql(pathSql, page, size); }};
    };
    const int jobId = kScaleJobs / 2;
    const int planId = kScalePlans / 2;
    const int syncPlanId = kScalePlans + 1;
    const QList<ScaleRow> rows{
        pageRow("proj_tcs path \"\" page 1 size 50", 40, QString(), 1, 50, kScaleTestcases),
        pageRow("proj_tcs path \"\" page 10000 size 50", 40, QString(), 10000, 50, kScaleTestcases),
        pageRow("proj_tcs path \"Suite3/\" (100 000 match) page 1 size 50", 40, QStringLiteral("Suite3/"), 1, 50, 100000),
        pageRow("proj_tcs path \"Suite3/\" (100 000 match) page 10000 size 10", 40, QStringLiteral("Suite3/"), 10000, 10, 100000),
        pageRow("proj_tcs path of one test case", 5, QStringLiteral("suite3/group012/tc0000123"), 1, 50, 1),
        ScaleRow{QStringLiteral("job_detail of one job (10 details)"), 5, 0.99,
            [=](int) { return QJsonObject{{"CMD", "job_detail"}, {"jobid", jobId}}; },
            [](const QJsonObject& reply) { return reply.value("jobdetail").toArray().size() == 10; },
            [=](int) {
                QByteArray sql = "select * from T_Job where id = " + number(jobId) + ";\nselect * from T_JobDetail where jobId = "
                    + number(jobId) + " order by seqIdx;\n";
                for (int i = 0; i < 10; ++i)
                    sql += "select * from T_Tc where id = " + number(scaleTestcaseOfDetail((jobId - 1) * 10 + i)) + ";\n";
                return sql;
            }},
        ScaleRow{QStringLiteral("plan_tcs of one plan (100 test cases)"), 5, 0.99,
            [=](int) { return QJsonObject{{"CMD", "plan_tcs"}, {"planid", planId}}; },
            [](const QJsonObject& reply) { return reply.value("data").toArray().size() == 100; },
            [=](int) {
                return "select T_Tc.* from T_PlanTC inner join T_Tc on T_Tc.id = T_PlanTC.tcId where T_PlanTC.planId = "
                    + number(planId) + " order by T_PlanTC.id;\n";
            }},
        ScaleRow{QStringLiteral("my_reports (20 of 100 000 finished jobs)"), 5, 0.99,
            [](int) { return QJsonObject{{"CMD", "my_reports"}}; },
            [](const QJsonObject& reply) { return reply.value("data").toArray().size() == 20; },
            [](int) { return QByteArray("select * from T_Job where status = 3 order by id desc limit 20;\n"); }},
        // Its target names no percentile, unlike the others: it is judged on
        // the median. About one request in three also pays for a WAL
        // checkpoint of the link index pages it rewrote.
        ScaleRow{QStringLiteral("sync_plan with 2 000 ids"), 50, 0.5,
            [=](int sample) { return QJsonObject{{"CMD", "sync_plan"}, {"planid", syncPlanId}, {"tclist", syncList(sample)}}; },
            [](const QJsonObject& reply) { return reply.value("data").toArray().size() == kSyncIds; },
            [=](int sample) {
                const QByteArray ids = QJsonDocument(syncList(sample)).toJson(QJsonDocument::Compact);
                return "begin immediate;\ndelete from T_PlanTC where planId = " + number(syncPlanId) + ";\n"
                    "insert into T_PlanTC (planId,tcId) select " + number(syncPlanId) + ", value from json_each('" + ids
                    + "') order by key;\nupdate T_Plan set mTime = datetime('now', 'localtime') where id = "
                    + number(syncPlanId) + ";\ncommit;\n"
                    "select T_Tc.* from T_PlanTC inner join T_Tc on T_Tc.id = T_PlanTC.tcId where T_PlanTC.planId = "
                    + number(syncPlanId) + " order by T_PlanTC.id;\n";
            }},
    };

    bool allMet = true;
    for (const ScaleRow& row : rows) {
        QList<double> hostMs;
        // One request first, to warm the caches as any running service has them.
        for (int sample = -1; sample < kScaleSamples && !interrupted(); ++sample) {
            timer.restart();
            const QJsonObject reply = client.Ask(row.request(sample + 1));
            const double ms = timer.nsecsElapsed() / 1e6;
            if (interrupted())
                break;
            if (!row.check(reply)) {
                std::fprintf(stderr, "bench_local: unexpected answer to %s: %.300s\n", qPrintable(row.name),
                             QJsonDocument(reply).toJson(QJsonDocument::Compact).constData());
                return 1;
            }
            if (sample >= 0)
                hostMs.append(ms);
        }
        if (interrupted())
            return 1;
        const double p99 = percentile(hostMs, 0.99);
        const bool met = percentile(hostMs, row.percentile) < row.targetMs;
        allMet = allMet && met;
        const double floor = toolMean(database, row.sql, 100);
        std::printf("%-58s host p50 %7.2f ms  p99 %7.2f ms  target p%02.0f < %2.0f ms: %-4s  sqlite3 tool %7.2f ms\n",
                    qPrintable(row.name), percentile(hostMs, 0.5), p99, row.percentile * 100, row.targetMs,
                    met ? "met" : "MISSED", floor);
        std::fflush(stdout);
    }

    // add_tc one request after the other, on the full table and its index.
    const int adds = 3000;
    timer.restart();
    for (int i = 0; i < adds && !interrupted(); ++i) {
        const QJsonObject reply = client.Ask({{"CMD", "add_tc"},
            {"testcase", QJsonObject{{"projectid", 1}, {"title", QStringLiteral("added %1").arg(i)},
                                     {"path", QStringLiteral("added/%1").arg(i % 97)}, {"content", content()}}}});
        if (reply.value("result").toString() != QLatin1String("ok")) {
            std::fprintf(stderr, "bench_local: add_tc failed: %s\n", QJsonDocument(reply).toJson().constData());
            return 1;
        }
    }
    const double addRate = adds / (timer.nsecsElapsed() / 1e9);
    const double addFloor = toolMean(database, [](int i) {
        return "insert into T_Tc (projId,title,path,content) values (1,'tool " + number(i) + "','tool/" + number(i % 97)
            + "','{}');\nselect * from T_Tc where id = last_insert_rowid();\n";
    }, 1000);
    const bool addMet = addRate >= 3000;
    std::printf("%-58s host %.0f requests/s  target >= 3000/s: %-4s  sqlite3 tool %.0f/s\n", "add_tc one at a time",
                addRate, addMet ? "met" : "MISSED", addFloor > 0 ? 1000 / addFloor : 0.0);
    return interrupted() ? 1 : (allMet && addMet ? 0 : 2);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (app.arguments().contains(QStringLiteral("--help"))) {
        std::printf("Usage: bench_local [--scale]\n"
                    "Local-mode request rates and latencies through autotest-host, each beside the same SQL run by\n"
                    "the sqlite3 tool on the same file. Needs sqlite3 on the PATH.\n"
                    "  (default)  add_tc rate, then proj_tcs and my_reports on 100 000 test cases and 10 000 jobs.\n"
                    "  --scale    builds 1 000 000 test cases, 100 000 plan links, 100 000 finished jobs and\n"
                    "             1 000 000 job details (about 300 MB in a temporary directory, some 15 s), then\n"
                    "             prints p50/p99 of each request against its target and the add_tc rate.\n"
                    "             Exits 2 when a target is missed.\n");
        return 0;
    }
    SignalQuit quit;

    HostProcess host;
    if (!host.Start()) {
        std::fprintf(stderr, "bench_local: host did not start: %s\n", qPrintable(host.ErrorText()));
        return 1;
    }
    Client client;
    if (!client.Connect(host.Url()) || client.Ask({{"CMD", "switch_state"}, {"state", "local"}}).isEmpty())
        return 1;
    const int status = app.arguments().contains(QStringLiteral("--scale")) ? runScale(host, client) : runSmall(host, client);
    host.Stop();
    return status;
}
