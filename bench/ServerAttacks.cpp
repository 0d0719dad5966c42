#include "bench/ServerAttacks.h"

#include "tests/support/HostProcess.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QtTest>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/resource.h>

namespace {

namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace net = boost::asio;
using tcp = boost::asio::ip::tcp;
using boost::system::error_code;

const QByteArray kFetch = R"({"cmd":"fetch_tc","testcaseid":1})";

QByteArray post(const QByteArray& body, const QByteArray& fields = QByteArray())
{
    return "POST /api HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\n" + fields
        + "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

// A thousand connections and more need more descriptors than the usual
// soft limit.
void raiseFileLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// One request on a new connection, synchronously; the status, or 0.
int ask(quint16 port, const QByteArray& request)
{
    net::io_context io;
    tcp::socket socket(io);
    error_code error;
    socket.connect(tcp::endpoint(net::ip::address_v4::loopback(), port), error);
    if (!error)
        net::write(socket, net::buffer(request.constData(), std::size_t(request.size())), error);
    beast::flat_buffer buffer;
    http::response<http::string_body> response;
    if (!error)
        http::read(socket, buffer, response, error);
    return error ? 0 : response.result_int();
}

// Posts fetch_tc on a new connection every 5 ms from a thread of its own,
// one at a time, and keeps how long each answer took (connecting included).
class Bystander
{
public:
    explicit Bystander(quint16 port) : m_endpoint(net::ip::address_v4::loopback(), port)
    {
        m_thread = std::thread([this] {
            Probe();
            m_io.run();
        });
    }
    ~Bystander() { Finish(); }

    // Stops; an answer still outstanding counts as the longest wait.
    void Finish()
    {
        if (!m_thread.joinable())
            return;
        net::post(m_io, [this] {
            m_stopping = true;
            if (m_stream) {
                m_waits.push_back(Elapsed());
                ++m_failures;
                m_failure = "no answer before the end";
                m_stream->close();
            }
            m_pause.cancel();
        });
        m_thread.join();
        std::sort(m_waits.begin(), m_waits.end());
    }
    double Percentile(int p) const { return m_waits.empty() ? -1 : m_waits[std::min(m_waits.size() - 1, m_waits.size() * p / 100)]; }
    int Answers() const { return int(m_waits.size()); }
    int Failures() const { return m_failures; }
    const std::string& LastFailure() const { return m_failure; }

private:
    double Elapsed() const { return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - m_start).count(); }

    void Probe()
    {
        if (m_stopping)
            return;
        m_start = std::chrono::steady_clock::now();
        m_stream = std::make_unique<beast::tcp_stream>(m_io);
        m_stream->expires_after(std::chrono::seconds(60));
        m_request = {http::verb::post, "/api", 11};
        m_request.set(http::field::host, "127.0.0.1");
        m_request.set(http::field::content_type, "application/x-www-form-urlencoded");
        m_request.body() = kFetch.toStdString();
        m_request.prepare_payload();
        m_response = {};
        m_buffer.clear();
        m_stream->async_connect(m_endpoint, [this](error_code error) {
            if (error)
                return Done("connect: " + error.message());
            http::async_write(*m_stream, m_request, [this](error_code error, std::size_t) {
                if (error)
                    return Done("write: " + error.message());
                http::async_read(*m_stream, m_buffer, m_response, [this](error_code error, std::size_t) {
                    if (error)
                        Done("read: " + error.message());
                    else if (m_response.result_int() != 200)
                        Done("HTTP " + std::to_string(m_response.result_int()) + " " + m_response.body().substr(0, 60));
                    else
                        Done({});
                });
            });
        });
    }

    // `failure` is empty for an answer.
    void Done(const std::string& failure)
    {
        if (m_stopping)
            return;
        m_waits.push_back(Elapsed());
        if (!failure.empty()) {
            ++m_failures;
            m_failure = failure;
        }
        m_stream.reset();
        m_pause.expires_after(std::chrono::milliseconds(5));
        m_pause.async_wait([this](error_code error) {
            if (!error)
                Probe();
        });
    }

    net::io_context m_io;
    tcp::endpoint m_endpoint;
    net::steady_timer m_pause{m_io};
    std::unique_ptr<beast::tcp_stream> m_stream;
    http::request<http::string_body> m_request;
    http::response<http::string_body> m_response;
    beast::flat_buffer m_buffer;
    std::chrono::steady_clock::time_point m_start;
    std::vector<double> m_waits;
    int m_failures = 0;
    std::string m_failure;
    bool m_stopping = false;
    std::thread m_thread;
};

// What each attacking connection does.
struct Plan
{
    // Sent at once, or `piece` bytes every `trickleMs`.
    QByteArray head;
    int trickleMs = 0;
    int piece = 0;
    // After the head: `filler` again and again until `fillerBytes` went out, then `tail`.
    QByteArray filler;
    qint64 fillerBytes = 0;
    QByteArray tail;
    // Whether answers are read at all.
    bool read = true;
    // After an answer on a kept-alive connection: the same request again.
    bool again = false;
    // When the server ends the connection: a new one.
    bool reconnect = false;
};

struct Tally
{
    std::mutex mutex;
    QMap<int, int> statuses;
    std::atomic<int> connections{0};
    std::atomic<int> endedByServer{0};
};

class Attacker : public std::enable_shared_from_this<Attacker>
{
public:
    Attacker(net::io_context& io, const tcp::endpoint& server, const Plan& plan, Tally& tally)
        : m_io(io), m_server(server), m_plan(plan), m_tally(tally), m_socket(io), m_timer(io)
    {
    }

    void Start()
    {
        m_socket = tcp::socket(m_io);
        m_buffer.clear();
        auto self = shared_from_this();
        m_socket.async_connect(m_server, [self](error_code error) {
            if (error)
                return self->End();
            ++self->m_tally.connections;
            if (self->m_plan.read)
                self->Read();
            self->Send();
        });
    }

    void Stop()
    {
        m_stopped = true;
        error_code ignored;
        m_socket.close(ignored);
        m_timer.cancel();
    }

private:
    void Send()
    {
        m_sent = 0;
        m_filled = 0;
        if (m_plan.trickleMs > 0)
            Trickle();
        else
            Write(m_plan.head, [this] { Fill(); });
    }

    void Trickle()
    {
        if (m_sent >= m_plan.head.size())
            return;
        const QByteArray piece = m_plan.head.mid(int(m_sent), m_plan.piece);
        m_sent += piece.size();
        auto self = shared_from_this();
        Write(piece, [self] {
            self->m_timer.expires_after(std::chrono::milliseconds(self->m_plan.trickleMs));
            self->m_timer.async_wait([self](error_code error) {
                if (!error)
                    self->Trickle();
            });
        });
    }

    void Fill()
    {
        if (m_filled >= m_plan.fillerBytes) {
            Write(m_plan.tail, [] {});
            return;
        }
        const int size = int(std::min<qint64>(m_plan.filler.size(), m_plan.fillerBytes - m_filled));
        m_filled += size;
        Write(m_plan.filler.left(size), [this] { Fill(); });
    }

    // Writes and then calls `next`; a failed write ends the sending.
    void Write(const QByteArray& bytes, std::function<void()> next)
    {
        if (bytes.isEmpty()) {
            next();
            return;
        }
        auto self = shared_from_this();
        auto kept = std::make_shared<QByteArray>(bytes);
        net::async_write(m_socket, net::buffer(kept->constData(), std::size_t(kept->size())),
                         [self, kept, next](error_code error, std::size_t) {
                             if (!error)
                                 next();
                         });
    }

    void Read()
    {
        m_parser = std::make_unique<http::response_parser<http::string_body>>();
        m_parser->body_limit(64 << 20);
        auto self = shared_from_this();
        http::async_read(m_socket, m_buffer, *m_parser, [self](error_code error, std::size_t) {
            if (error)
                return self->End();
            {
                std::lock_guard<std::mutex> lock(self->m_tally.mutex);
                ++self->m_tally.statuses[self->m_parser->get().result_int()];
            }
            if (self->m_plan.again && self->m_parser->keep_alive()) {
                self->Read();
                self->Send();
            } else if (self->m_parser->keep_alive()) {
                self->Read();
            } else {
                self->End();
            }
        });
    }

    void End()
    {
        if (m_stopped)
            return;
        ++m_tally.endedByServer;
        error_code ignored;
        m_socket.close(ignored);
        m_timer.cancel();
        if (!m_plan.reconnect)
            return;
        // Not at once: a server that is gone would make this spin.
        auto self = shared_from_this();
        m_timer.expires_after(std::chrono::milliseconds(10));
        m_timer.async_wait([self](error_code error) {
            if (!error && !self->m_stopped)
                self->Start();
        });
    }

    net::io_context& m_io;
    tcp::endpoint m_server;
    const Plan& m_plan;
    Tally& m_tally;
    tcp::socket m_socket;
    net::steady_timer m_timer;
    beast::flat_buffer m_buffer;
    std::unique_ptr<http::response_parser<http::string_body>> m_parser;
    qint64 m_sent = 0;
    qint64 m_filled = 0;
    bool m_stopped = false;
};

// `count` attackers on a thread of their own.
class Swarm
{
public:
    Swarm(quint16 port, int count, const Plan& plan) : m_plan(plan)
    {
        const tcp::endpoint server(net::ip::address_v4::loopback(), port);
        for (int i = 0; i < count; ++i)
            m_attackers.push_back(std::make_shared<Attacker>(m_io, server, m_plan, m_tally));
        m_thread = std::thread([this] {
            for (auto& attacker : m_attackers)
                attacker->Start();
            m_io.run();
        });
    }
    ~Swarm()
    {
        net::post(m_io, [this] {
            for (auto& attacker : m_attackers)
                attacker->Stop();
            m_work.reset();
            m_io.stop();
        });
        m_thread.join();
    }

    QString Outcome()
    {
        std::lock_guard<std::mutex> lock(m_tally.mutex);
        QStringList answers;
        for (auto it = m_tally.statuses.cbegin(); it != m_tally.statuses.cend(); ++it)
            answers << QStringLiteral("%1x %2").arg(it.value()).arg(it.key());
        return QStringLiteral("%1 connections, answers: %2, %3 closed by the server")
            .arg(m_tally.connections.load())
            .arg(answers.isEmpty() ? QStringLiteral("none") : answers.join(QStringLiteral(", ")))
            .arg(m_tally.endedByServer.load());
    }

private:
    Plan m_plan;
    Tally m_tally;
    net::io_context m_io;
    net::executor_work_guard<net::io_context::executor_type> m_work{m_io.get_executor()};
    std::vector<std::shared_ptr<Attacker>> m_attackers;
    std::thread m_thread;
};

struct Attack
{
    const char* name;
    int connections;
    int seconds;
    // Whether the bystander's p99 has a target.
    bool latencyTarget;
    Plan plan;
};

QList<Attack> attacks()
{
    QList<Attack> list;
    {
        Plan plan;
        plan.head = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n";
        QByteArray lines;
        while (lines.size() < 64 * 1024)
            lines += "X-F: 123456\r\n"; // 13 bytes: a million of them is 13 MB
        plan.filler = lines;
        plan.fillerBytes = 13000000;
        plan.tail = "\r\n";
        list.append({"1 000 000 headers (13 MB) x64", 64, 6, false, plan});
    }
    {
        Plan plan;
        plan.head = "GET /big.bin HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        plan.read = false;
        list.append({"console GET of a 100 MB file x16, never read", 16, 6, false, plan});
    }
    {
        QByteArray ranges = "Range: bytes=0-";
        for (int i = 1; i < 2700; ++i)
            ranges += ",0-";
        Plan plan;
        plan.head = "GET /style.css HTTP/1.1\r\nHost: 127.0.0.1\r\n" + ranges + "\r\n\r\n";
        plan.read = false;
        list.append({"2 700 ranges of a 13 KB file x64, never read", 64, 6, false, plan});
    }
    {
        Plan plan;
        plan.head = "POST /api HTTP/1.1\r\n";
        for (int i = 0; i < 100; ++i)
            plan.head += "X-Slow: " + QByteArray::number(1000 + i) + "\r\n";
        plan.trickleMs = 2000;
        plan.piece = 14; // one line
        plan.reconnect = true;
        list.append({"64 slow headers, a line every 2 s", 64, 15, true, plan});
    }
    {
        Plan plan;
        plan.reconnect = true;
        list.append({"1 000 idle connections", 1000, 15, true, plan});
    }
    {
        Plan plan;
        plan.head = post(kFetch);
        plan.trickleMs = 1000;
        plan.piece = 1;
        plan.reconnect = true;
        list.append({"1 000 slow connections, a byte a second", 1000, 15, false, plan});
    }
    {
        Plan plan;
        plan.head = post(kFetch);
        plan.again = true;
        plan.reconnect = true;
        list.append({"200 busy keep-alive clients (fetch_tc)", 200, 8, true, plan});
    }
    {
        Plan plan;
        plan.head = "POST /api HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 16777216\r\n\r\n";
        plan.filler = QByteArray(64 * 1024, ' ');
        plan.fillerBytes = 16 << 20;
        plan.reconnect = true;
        list.append({"1 000 clients posting 16 MiB bodies", 1000, 10, false, plan});
    }
    {
        Plan plan;
        // Content-Length with chunked, then a second Content-Length: a proxy
        // and a server that disagree on where a request ends.
        plan.head = post("0\r\n\r\n", "Transfer-Encoding: chunked\r\n") + post(kFetch, "Content-Length: 3\r\n");
        plan.reconnect = true;
        list.append({"ambiguous framing x64 (CL + TE, two CL)", 64, 5, false, plan});
    }
    return list;
}

// A console folder with the page, its 13 KB style sheet and a 100 MB file.
bool makeConsole(const QString& folder)
{
    if (!QDir().mkpath(folder))
        return false;
    QFile big(folder + QStringLiteral("/big.bin"));
    if (!big.open(QIODevice::WriteOnly))
        return false;
    const QByteArray block(1 << 20, 'b');
    for (int i = 0; i < 100; ++i)
        big.write(block);
    big.close();
    QFile style(folder + QStringLiteral("/style.css"));
    if (!style.open(QIODevice::WriteOnly))
        return false;
    style.write(QByteArray(13 * 1024, 's'));
    style.close();
    QFile page(folder + QStringLiteral("/index.html"));
    return page.open(QIODevice::WriteOnly) && page.write("<title>console</title>") > 0;
}

} // namespace

bool ServerAttacks::Run(const QString& only)
{
    raiseFileLimit();
    bool missed = false;
    std::printf("\nautotest-server (targets: no crash, peak RSS < 512 MB; bystander p99 < 100 ms where marked *)\n");
    std::printf("%-46s %9s %9s %9s  %s\n", "attack", "peak RSS", "p50", "p99", "outcome");
    for (const Attack& attack : attacks()) {
        if (!QString::fromLatin1(attack.name).contains(only))
            continue;
        HostProcess server(QStringLiteral("autotest-server"));
        const QString console = server.AppDir() + QStringLiteral("/console");
        if (!makeConsole(console) || !server.Start({QStringLiteral("--console"), console})) {
            std::printf("%-46s  the server did not start: %s\n", attack.name, qPrintable(server.ErrorText()));
            missed = true;
            continue;
        }
        const quint16 port = quint16(server.Url().port());
        if (ask(port, post(R"({"cmd":"add_tc","testcase":{"title":"t","path":"p","content":"{}"}})")) != 200) {
            std::printf("%-46s  add_tc failed\n", attack.name);
            missed = true;
            continue;
        }
        QString outcome;
        Bystander bystander(port);
        {
            Swarm swarm(port, attack.connections, attack.plan);
            // The event loop reads the server's log meanwhile; a full pipe would stall it.
            QTest::qWait(attack.seconds * 1000);
            bystander.Finish();
            outcome = swarm.Outcome();
        }
        const bool running = server.Process().state() == QProcess::Running;
        const double peak = server.StatusKb("VmHWM") / 1024.0;
        const bool clean = server.Stop();
        const double p99 = bystander.Percentile(99);
        const bool memoryMet = running && peak < 512;
        const bool latencyMet = !attack.latencyTarget || (p99 >= 0 && p99 < 100);
        missed |= !memoryMet || !latencyMet || !clean;
        const QString failures = bystander.Failures() == 0
            ? QStringLiteral("none failed")
            : QStringLiteral("%1 failed (last: %2)").arg(bystander.Failures()).arg(QString::fromStdString(bystander.LastFailure()));
        std::printf("%-46s %6.0f MB %6.1f ms %6.1f ms%s  %s; bystander %d answers, %s; %s%s\n", attack.name, peak,
                    bystander.Percentile(50), p99, attack.latencyTarget ? "*" : " ", qPrintable(outcome), bystander.Answers(),
                    qPrintable(failures), running && clean ? "server up, stopped cleanly" : "SERVER DIED OR DID NOT STOP",
                    memoryMet && latencyMet ? "" : "  TARGET MISSED");
        std::fflush(stdout);
    }
    return !missed;
}
