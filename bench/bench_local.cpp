// Local-mode figures through the host, each beside the same statements run
// directly by the sqlite3 command-line tool on the same database file:
//   add_tc     - sequential requests per second from one client;
//   proj_tcs   - p50/p99 latency of pages of 50 spread over 100 000 test cases;
//   my_reports - p50/p99 latency with 10 000 finished jobs.
// Prints one summary line per figure.

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

namespace {

const int kTestcases = 100000;
const int kJobs = 10000;
const int kAdds = 2000;
const int kSamples = 300;
const int kPageSize = 50;

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
    // Sends and waits for the answer; returns it, or {} after 60 s.
    QJsonObject Ask(const QJsonObject& request)
    {
        const int expected = m_replies + 1;
        m_socket.sendTextMessage(QString::fromUtf8(QJsonDocument(request).toJson(QJsonDocument::Compact)));
        QDeadlineTimer deadline(60000);
        while (m_replies < expected && !deadline.hasExpired())
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
    sqlite.start(QStringLiteral("sqlite3"), {database});
    if (!sqlite.waitForStarted(10000))
        return -1;
    // Wait for the host's locks instead of failing at once.
    sqlite.write(".timeout 10000\n" + sql);
    sqlite.closeWriteChannel();
    sqlite.setStandardOutputFile(QProcess::nullDevice());
    if (!sqlite.waitForFinished(600000) || sqlite.exitCode() != 0) {
        std::fprintf(stderr, "bench_local: sqlite3 failed: %s\n", sqlite.readAllStandardError().constData());
        return -1;
    }
    return timer.nsecsElapsed() / 1e6;
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

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (app.arguments().contains(QStringLiteral("--help"))) {
        std::printf("bench_local: local-mode request rates and latencies through autotest-host, each beside the\n"
                    "same SQL run by the sqlite3 tool on the same file. Needs sqlite3 on the PATH. No options.\n");
        return 0;
    }

    HostProcess host;
    if (!host.Start()) {
        std::fprintf(stderr, "bench_local: host did not start: %s\n", qPrintable(host.ErrorText()));
        return 1;
    }
    const QString database = host.AppDir() + QStringLiteral("/Data/autotest.db3");
    Client client;
    if (!client.Connect(host.Url()) || client.Ask({{"CMD", "switch_state"}, {"state", "local"}}).isEmpty())
        return 1;

    // add_tc, one request after the other.
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < kAdds; ++i) {
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
    const double cliAddMs = runSqlite(database, inserts);
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
    if (runSqlite(database, fill) < 0)
        return 1;

    // proj_tcs pages spread evenly over the whole table.
    const int pages = kTestcases / kPageSize;
    QList<double> hostMs;
    QByteArray pageSql;
    for (int i = 0; i < kSamples; ++i) {
        const int page = 1 + int(QRandomGenerator::global()->bounded(pages));
        timer.restart();
        const QJsonObject reply = client.Ask({{"CMD", "proj_tcs"}, {"path", "bench"}, {"page", page}, {"size", kPageSize}});
        hostMs.append(timer.nsecsElapsed() / 1e6);
        if (reply.value("count").toInt() != kTestcases || reply.value("data").toArray().size() != kPageSize) {
            std::fprintf(stderr, "bench_local: unexpected proj_tcs page %d: count %d, %d rows\n", page,
                         reply.value("count").toInt(), int(reply.value("data").toArray().size()));
            return 1;
        }
        pageSql += "select count(*) from T_Tc where path like 'bench%';\n"
                   "select * from T_Tc where path like 'bench%' limit " + QByteArray::number(kPageSize) + " offset "
                   + QByteArray::number((page - 1) * kPageSize) + ";\n";
    }
    const double cliPageMs = runSqlite(database, pageSql) / kSamples;
    std::printf("proj_tcs: p50 %.2f ms, p99 %.2f ms over %d pages of %d among %d test cases (target p99 < 50 ms); "
                "sqlite3 tool, same statements: %.2f ms each; host p50/tool %.1f (target <= 10)\n",
                percentile(hostMs, 0.5), percentile(hostMs, 0.99), kSamples, kPageSize, kTestcases, cliPageMs,
                cliPageMs > 0 ? percentile(hostMs, 0.5) / cliPageMs : 0.0);
    std::fflush(stdout);

    // my_reports with 10 000 finished jobs.
    hostMs.clear();
    QByteArray reportSql;
    for (int i = 0; i < kSamples; ++i) {
        timer.restart();
        const QJsonObject reply = client.Ask({{"CMD", "my_reports"}});
        hostMs.append(timer.nsecsElapsed() / 1e6);
        if (reply.value("data").toArray().size() != 20) {
            std::fprintf(stderr, "bench_local: unexpected my_reports answer\n");
            return 1;
        }
        reportSql += "select * from T_Job where status = 3 order by id desc limit 20;\n";
    }
    const double cliReportMs = runSqlite(database, reportSql) / kSamples;
    std::printf("my_reports: p50 %.2f ms, p99 %.2f ms with %d finished jobs; sqlite3 tool, same statement: %.2f ms each; "
                "host p50/tool %.1f (target <= 10)\n",
                percentile(hostMs, 0.5), percentile(hostMs, 0.99), kJobs, cliReportMs,
                cliReportMs > 0 ? percentile(hostMs, 0.5) / cliReportMs : 0.0);

    host.Stop();
    return 0;
}
