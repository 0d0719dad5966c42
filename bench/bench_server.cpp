// autotest-server under load: requests per second and latency of "fetch_tc"
// and "add_tc" from 1, 8 and 64 concurrent clients (each a keep-alive HTTP
// connection, posting as the host's remote route does), on
// SQLite and on PostgreSQL, with the database holding 1 000 000 test cases
// (filled by one bulk insert, not through the API). PostgreSQL needs
// KIV_TEST_PGURL (eval "$(tools/pgtest.sh start)"); without it only SQLite runs.
//   bench_server [--seconds N] [--threads N] [--backend sqlite|postgresql] [--clients N]
// Prints one line per figure and exits 2 when a target is missed:
// fetch_tc >= 5 000/s with p99 < 20 ms at 64 clients on PostgreSQL, and
// add_tc >= 1 000/s (at 8 and at 64 clients, on both databases). Beside the
// PostgreSQL fetch_tc rows it prints the ceiling: the same select of one test
// case by id, prepared, straight to PostgreSQL from as many clients
// (pgbench -M prepared), and the server's share of it (aim: >= 0.5 at 8 and
// 64 clients). Halfway through each 64-client fetch_tc run it scrapes the
// server's /metrics and prints what it read.

#include "storage/LocalModel.h"
#include "tests/support/HostProcess.h"
#include "tests/support/PgTestDatabase.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <chrono>
#include <functional>
#include <cstdio>
#include <random>
#include <string>
#include <memory>
#include <vector>

namespace {

namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace net = boost::asio;
using tcp = boost::asio::ip::tcp;

const int kTestcases = 1000000;

// A test case as a lab keeps them: a path of a few levels and a content of a
// few hundred bytes.
const char* const kContent = R"json({"MODULE_NAME":"Power","GROUP_NAME":"Supply","DATA":[{"INDEX":0,"VALUE":12},{"INDEX":1,"VALUE":5}],)json"
                             R"json("POST_DELAY":100,"SCRIPT":"(function (local, global) { return local.Voltage > 11; })"})json";

bool fill(const QString& database, QString& error)
{
    LocalModel model;
    if (!model.Open(database, QStringLiteral("bench-fill"))) {
        error = model.LastErrorText() + model.ConnectionErrorText();
        return false;
    }
    const bool postgres = model.Dialect().Which() == SqlDialect::Postgres;
    const QString select = QStringLiteral(
        "select 1, 'case ' || x, 'bench/' || (x % 100) || '/' || (x % 1000), 'bench', '%1', 30 from %2");
    const QString source = postgres ? QStringLiteral("generate_series(1, %1) as g(x)").arg(kTestcases) : QStringLiteral("c");
    QString statement = QStringLiteral("insert into T_Tc (projId, title, path, author, content, timeout) ")
                        + select.arg(QString::fromLatin1(kContent).replace(QLatin1String("'"), QLatin1String("''")), source);
    if (!postgres)
        statement = QStringLiteral("with recursive c(x) as (select 1 union all select x + 1 from c where x < %1) ").arg(kTestcases)
                    + statement;
    QSqlQuery query(QSqlDatabase::database(QStringLiteral("bench-fill")));
    if (!query.exec(statement) || (postgres && !query.exec(QStringLiteral("analyze T_Tc;")))) {
        error = query.lastError().text();
        return false;
    }
    return true;
}

struct Figures
{
    double perSecond = 0;
    double p50 = 0;
    double p99 = 0;
    int failures = 0;
};

// One station: a keep-alive connection with one request in flight at a time.
struct Station
{
    explicit Station(net::io_context& io) : socket(io) {}

    tcp::socket socket;
    beast::flat_buffer buffer;
    http::request<http::string_body> request;
    http::response<http::string_body> response;
    std::chrono::steady_clock::time_point start;
    std::mt19937 random;
    bool counted = false;
    std::vector<double> latencies;
};

// `clients` stations post `body(random)` as fast as answers come; the first
// tenth of the time warms connections and caches and is not counted. All of
// them are driven from this one thread, asynchronously: on a machine of two
// cores that also runs the server and the database, a thread per station
// took a seventh of the CPU and made everything else wait for the scheduler,
// which the stations of a lab, each on its own computer, do not do.
Figures run(int port, int clients, double seconds, const std::function<std::string(std::mt19937&)>& body,
            std::string* scrape = nullptr)
{
    net::io_context io;
    bool measuring = false;
    bool stop = false;
    int failures = 0;
    std::vector<std::unique_ptr<Station>> stations;
    const auto fail = [&](const Station& station, const std::string& why) {
        if (failures++ < 3) {
            const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - station.start).count();
            std::fprintf(stderr, "failure (%.0f ms): %s\n", ms, why.substr(0, 300).c_str());
        }
    };
    std::function<void(Station&)> post = [&](Station& station) {
        station.request = {http::verb::post, "/api", 11};
        station.request.set(http::field::host, "127.0.0.1");
        station.request.set(http::field::content_type, "application/x-www-form-urlencoded");
        station.request.body() = body(station.random);
        station.request.prepare_payload();
        station.response = {};
        station.counted = measuring;
        station.start = std::chrono::steady_clock::now();
        http::async_write(station.socket, station.request, [&](beast::error_code error, std::size_t) {
            if (error)
                return fail(station, error.message());
            http::async_read(station.socket, station.buffer, station.response, [&](beast::error_code error, std::size_t) {
                if (error)
                    return fail(station, error.message());
                const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - station.start).count();
                if (station.response.result_int() != 200 || station.response.body().find("\"result\":\"ok\"") == std::string::npos)
                    fail(station, station.response.body());
                if (stop)
                    return;
                if (station.counted)
                    station.latencies.push_back(ms);
                post(station);
            });
        });
    };
    const tcp::endpoint server(net::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port));
    for (int c = 0; c < clients; ++c) {
        stations.push_back(std::make_unique<Station>(io));
        Station& station = *stations.back();
        station.random.seed(unsigned(c) * 7919u + 1u);
        beast::error_code error;
        station.socket.connect(server, error);
        if (error) {
            fail(station, "connect: " + error.message());
            continue;
        }
        station.socket.set_option(tcp::no_delay(true));
        post(station);
    }
    net::steady_timer warm(io, std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds / 10)));
    net::steady_timer end(io);
    // GET /metrics halfway through, on a connection of its own.
    net::steady_timer half(io);
    tcp::socket scraper(io);
    http::request<http::empty_body> scrapeRequest{http::verb::get, "/metrics", 11};
    http::response<http::string_body> scrapeResponse;
    beast::flat_buffer scrapeBuffer;
    std::chrono::steady_clock::time_point mark;
    warm.async_wait([&](beast::error_code) {
        measuring = true;
        mark = std::chrono::steady_clock::now();
        end.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds)));
        end.async_wait([&](beast::error_code) { stop = true; });
        if (!scrape)
            return;
        half.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds / 2)));
        half.async_wait([&](beast::error_code) {
            beast::error_code error;
            scraper.connect(server, error);
            if (error)
                return;
            scrapeRequest.set(http::field::host, "127.0.0.1");
            http::async_write(scraper, scrapeRequest, [&](beast::error_code error, std::size_t) {
                if (error)
                    return;
                http::async_read(scraper, scrapeBuffer, scrapeResponse, [&](beast::error_code error, std::size_t) {
                    if (!error)
                        *scrape = scrapeResponse.body();
                    beast::error_code ignored;
                    scraper.close(ignored);
                });
            });
        });
    });
    // Returns once the last answer after `stop` has come.
    io.run();
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - mark).count();
    std::vector<double> all;
    for (const auto& station : stations)
        all.insert(all.end(), station->latencies.begin(), station->latencies.end());
    Figures figures;
    figures.perSecond = double(all.size()) / elapsed;
    figures.failures = failures;
    if (!all.empty()) {
        std::sort(all.begin(), all.end());
        figures.p50 = all[all.size() / 2];
        figures.p99 = all[std::min(all.size() - 1, size_t(double(all.size()) * 0.99))];
    }
    return figures;
}

// PostgreSQL alone: requests per second of pgbench running the select the
// server runs for "fetch_tc", prepared, from `clients` connections driven by
// one thread as the stations above are; 0 when pgbench cannot run.
double pgAlone(const QString& url, int clients, double seconds, QString& error)
{
    QTemporaryDir dir;
    QFile script(dir.filePath(QStringLiteral("fetch.sql")));
    if (!script.open(QIODevice::WriteOnly)
        || script.write(QStringLiteral("\\set id random(1, %1)\nselect * from T_Tc where id = :id;\n").arg(kTestcases).toUtf8()) < 0) {
        error = script.errorString();
        return 0;
    }
    script.close();
    QString pgbench = QStringLiteral("pgbench");
    for (const QString& candidate : {QStringLiteral("/usr/lib/postgresql/15/bin/pgbench"), QStringLiteral("/usr/bin/pgbench")})
        if (QFile::exists(candidate))
            pgbench = candidate;
    QProcess run;
    run.start(pgbench, {QStringLiteral("-n"), QStringLiteral("-M"), QStringLiteral("prepared"), QStringLiteral("-f"), script.fileName(),
                        QStringLiteral("-c"), QString::number(clients), QStringLiteral("-j"), QStringLiteral("1"),
                        QStringLiteral("-T"), QString::number(qMax(1, int(seconds + 0.5))), url});
    if (!run.waitForFinished(int(seconds * 1000) + 60000) || run.exitCode() != 0) {
        error = QString::fromLocal8Bit(run.readAllStandardError()).trimmed();
        return 0;
    }
    const QRegularExpressionMatch tps = QRegularExpression(QStringLiteral("tps = ([0-9.]+)")).match(QString::fromLocal8Bit(run.readAllStandardOutput()));
    return tps.hasMatch() ? tps.captured(1).toDouble() : 0;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    double seconds = 3;
    int serverThreads = 64;
    QByteArray only;
    std::vector<int> clientCounts{1, 8, 64};
    QByteArray databaseWork; // the server's default
    for (int i = 1; i + 1 < argc; i += 2) {
        if (qstrcmp(argv[i], "--seconds") == 0)
            seconds = QByteArray(argv[i + 1]).toDouble();
        else if (qstrcmp(argv[i], "--threads") == 0)
            serverThreads = QByteArray(argv[i + 1]).toInt();
        else if (qstrcmp(argv[i], "--database-work") == 0)
            databaseWork = argv[i + 1];
        else if (qstrcmp(argv[i], "--backend") == 0)
            only = argv[i + 1];
        else if (qstrcmp(argv[i], "--clients") == 0)
            clientCounts = {qMax(1, QByteArray(argv[i + 1]).toInt())};
    }
    if (app.arguments().contains(QStringLiteral("--help")) || seconds <= 0 || serverThreads < 1) {
        std::printf("usage: bench_server [--seconds N (3)] [--threads N (64, the server's)] [--database-work N (the server's)]\n"
                    "                    [--backend sqlite|postgresql] [--clients N (1, 8 and 64)]\n"
                    "PostgreSQL runs when KIV_TEST_PGURL names a cluster (eval \"$(tools/pgtest.sh start)\").\n");
        return seconds > 0 && serverThreads >= 1 ? 0 : 2;
    }

    bool missed = false;
    for (const char* backend : {"sqlite", "postgresql"}) {
        if (!only.isEmpty() && only != backend)
            continue;
        QTemporaryDir dir;
        PgTestDatabase pg;
        QString database = dir.path() + QStringLiteral("/bench.db3");
        if (qstrcmp(backend, "postgresql") == 0) {
            if (!PgTestDatabase::Available()) {
                std::printf("postgresql: skipped, KIV_TEST_PGURL is not set\n");
                continue;
            }
            if (!pg.Create()) {
                std::printf("postgresql: can't create a database: %s\n", qPrintable(pg.ErrorText()));
                return 1;
            }
            database = pg.Url();
        }
        QElapsedTimer filling;
        filling.start();
        QString error;
        if (!fill(database, error)) {
            std::printf("%s: filling failed: %s\n", backend, qPrintable(error));
            return 1;
        }
        QSqlDatabase::removeDatabase(QStringLiteral("bench-fill"));
        std::printf("%s: %d test cases stored in %.1f s\n", backend, kTestcases, filling.elapsed() / 1000.0);
        std::fflush(stdout);

        HostProcess server(QStringLiteral("autotest-server"));
        QStringList options{QStringLiteral("--database"), database, QStringLiteral("--threads"), QString::number(serverThreads)};
        if (!databaseWork.isEmpty())
            options << QStringLiteral("--database-work") << QString::fromLatin1(databaseWork);
        if (!server.Start(options)) {
            std::printf("%s: the server did not start: %s\n", backend, qPrintable(server.ErrorText()));
            return 1;
        }
        const int port = server.Url().port();
        // Every server thread opens its database connection at its first
        // request; that happens here, before anything is measured.
        run(port, 64, 2, [](std::mt19937& random) {
            return "{\"cmd\":\"fetch_tc\",\"testcaseid\":" + std::to_string(1 + random() % kTestcases) + "}";
        });
        // The content as a JSON string, quotes and escapes included.
        const QByteArray array = QJsonDocument(QJsonArray{QString::fromLatin1(kContent)}).toJson(QJsonDocument::Compact);
        const std::string content = array.mid(1, array.size() - 2).toStdString();
        for (const char* command : {"fetch_tc", "add_tc"}) {
            const bool fetch = qstrcmp(command, "fetch_tc") == 0;
            const auto body = [fetch, &content](std::mt19937& random) {
                if (fetch)
                    return "{\"cmd\":\"fetch_tc\",\"testcaseid\":" + std::to_string(1 + random() % kTestcases) + "}";
                return std::string("{\"cmd\":\"add_tc\",\"testcase\":{\"projectid\":1,\"title\":\"added\",\"path\":\"bench/new/")
                       + std::to_string(random() % 1000) + "\",\"content\":" + content + "}}";
            };
            for (int clients : clientCounts) {
                std::string scrape;
                const bool scraping = fetch && clients == 64;
                const Figures f = run(port, clients, seconds, body, scraping ? &scrape : nullptr);
                QString verdict;
                if (clients == 64 && fetch && qstrcmp(backend, "postgresql") == 0) {
                    const bool met = f.perSecond >= 5000 && f.p99 < 20;
                    verdict = met ? QStringLiteral("  target >= 5000/s, p99 < 20 ms: met") : QStringLiteral("  target >= 5000/s, p99 < 20 ms: MISSED");
                    missed |= !met;
                } else if (!fetch && clients >= 8) {
                    const bool met = f.perSecond >= 1000;
                    verdict = met ? QStringLiteral("  target >= 1000/s: met") : QStringLiteral("  target >= 1000/s: MISSED");
                    missed |= !met;
                }
                std::printf("%-10s %-8s %2d clients: %8.0f requests/s  p50 %6.2f ms  p99 %6.2f ms%s%s\n", backend, command, clients,
                            f.perSecond, f.p50, f.p99, f.failures ? qPrintable(QStringLiteral("  %1 FAILED").arg(f.failures)) : "",
                            qPrintable(verdict));
                // What an operator's scraper saw meanwhile (histogram buckets left out).
                if (scraping) {
                    std::printf("%-10s %-8s %2d clients: GET /metrics halfway through:%s\n", backend, command, clients,
                                scrape.empty() ? " no answer" : "");
                    for (const QByteArray& line : QByteArray::fromStdString(scrape).split('\n')) {
                        if (!line.isEmpty() && !line.startsWith('#') && !line.contains("_bucket"))
                            std::printf("    %s\n", line.constData());
                    }
                }
                if (fetch && qstrcmp(backend, "postgresql") == 0) {
                    QString why;
                    const double ceiling = pgAlone(database, clients, seconds, why);
                    if (ceiling <= 0) {
                        std::printf("%-10s %-8s %2d clients: PostgreSQL alone could not be measured: %s\n", backend, command, clients,
                                    qPrintable(why.left(200)));
                    } else {
                        const double ratio = f.perSecond / ceiling;
                        std::printf("%-10s %-8s %2d clients: %8.0f selects/s by PostgreSQL alone (pgbench -M prepared); "
                                    "the server reaches %.2f of it%s\n",
                                    backend, command, clients, ceiling, ratio,
                                    clients >= 8 ? (ratio >= 0.5 ? "  aim >= 0.50: met" : "  aim >= 0.50: missed") : "");
                    }
                }
                std::fflush(stdout);
            }
        }
        if (!server.Stop())
            std::printf("%s: the server did not stop cleanly:\n%s\n", backend, qPrintable(server.Stderr()));
    }
    return missed ? 2 : 0;
}
