// Any bytes as one connection's input to autotest-server's HTTP layer. The
// real server runs in this process (a SQLite file and a console folder of
// the run's own, small limits so that every refusal is within reach); each
// input goes over a fresh loopback connection whose write side then closes.
// The server must answer with well-formed HTTP responses only, one for each
// request it read whole (the same reader, run here over the whole input,
// says which), closing after any that is not kept alive; every JSON body is
// strict JSON with a "result" string. A server that does not close within
// 10 s after the input ends has hung.

#include "fuzz/FuzzSupport.h"
#include "server/ApiServer.h"
#include "server/RequestReader.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

namespace net = boost::asio;
namespace http = boost::beast::http;
using tcp = boost::asio::ip::tcp;

ServerConfig config()
{
    static QTemporaryDir dir;
    ServerConfig config;
    config.port = 0;
    config.database = dir.path() + QStringLiteral("/fuzz.db3");
    config.consoleDir = dir.path() + QStringLiteral("/console");
    QDir().mkpath(config.consoleDir);
    QFile page(config.consoleDir + QStringLiteral("/index.html"));
    if (page.open(QIODevice::WriteOnly))
        page.write("<title>console</title>");
    config.databaseWork = 1;
    config.ioThreads = 2;
    config.headerBytes = 2048;
    config.headerFields = 20;
    config.maxBodyBytes = 4096;
    // Below the body limit: some bodies that pass it find the budget full.
    config.maxBufferedBytes = 3000;
    return config;
}

ApiServer* server()
{
    // Never destroyed: libFuzzer may exit from any thread.
    static ApiServer* instance = [] {
        auto* started = new ApiServer(config());
        QString error;
        if (!started->Start(error)) {
            std::fprintf(stderr, "fuzz_http: the server did not start: %s\n", qPrintable(error));
            std::abort();
        }
        return started;
    }();
    return instance;
}

struct Expected
{
    QByteArray method;
    // Read whole; the last entry may be cut short or refused.
    bool whole = false;
};

// The requests in `input`, as the server's reader sees them.
std::vector<Expected> requests(const char* data, std::size_t size)
{
    static const ServerConfig limits = config();
    RequestReader::Limits bounds;
    bounds.headerBytes = limits.headerBytes;
    bounds.headerFields = limits.headerFields;
    bounds.bodyBytes = limits.maxBodyBytes;
    std::vector<Expected> found;
    std::size_t at = 0;
    while (at < size) {
        RequestReader reader(bounds);
        at += reader.Feed(data + at, size - at);
        if (reader.Status() == RequestReader::HeaderDone) {
            reader.BeginBody();
            at += reader.Feed(data + at, size - at);
        }
        found.push_back({reader.Method(), reader.Status() == RequestReader::Done});
        if (!found.back().whole)
            break;
    }
    return found;
}

// Sends `input`, closes the write side and returns all the server wrote.
// Asynchronous throughout: libFuzzer's timer signal interrupts blocking calls.
std::string exchange(const char* data, std::size_t size)
{
    net::io_context io;
    tcp::socket socket(io);
    std::string received;
    std::vector<char> buffer(65536);
    net::steady_timer hung(io, std::chrono::seconds(10));
    hung.async_wait([](boost::system::error_code waited) {
        if (!waited) {
            std::fprintf(stderr, "fuzz_http: the server neither answered nor closed within 10 s\n");
            std::abort();
        }
    });
    std::function<void()> read = [&] {
        socket.async_read_some(net::buffer(buffer), [&](boost::system::error_code failed, std::size_t bytes) {
            received.append(buffer.data(), bytes);
            if (failed) {
                hung.cancel();
                return;
            }
            read();
        });
    };
    const tcp::endpoint endpoint(net::ip::address_v4::loopback(), static_cast<unsigned short>(server()->Port()));
    socket.async_connect(endpoint, [&](boost::system::error_code error) {
        if (error) {
            std::fprintf(stderr, "fuzz_http: can't connect: %s\n", error.message().c_str());
            std::abort();
        }
        net::async_write(socket, net::buffer(data, size), [&socket](boost::system::error_code, std::size_t) {
            boost::system::error_code ignored;
            socket.shutdown(tcp::socket::shutdown_send, ignored);
        });
        read();
    });
    io.run();
    return received;
}

[[noreturn]] void fail(const char* why, const std::string& output)
{
    std::fprintf(stderr, "fuzz_http: %s; the server wrote:\n%.2000s\n", why, output.c_str());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    kivFuzzInit(argc, argv);
    server();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const char* bytes = reinterpret_cast<const char*>(data);
    const std::vector<Expected> expected = requests(bytes, size);
    const std::string output = exchange(bytes, size);

    std::size_t at = 0;
    std::size_t answered = 0;
    bool open = true;
    while (at < output.size()) {
        if (!open)
            fail("bytes after a response that closed the connection", output);
        http::response_parser<http::string_body> parser;
        parser.body_limit(boost::none);
        parser.eager(true);
        // A HEAD's answer announces a length and sends nothing.
        parser.skip(answered < expected.size() && expected[answered].method == "HEAD");
        boost::system::error_code error;
        at += parser.put(net::buffer(output.data() + at, output.size() - at), error);
        if (error || !parser.is_done())
            fail("not a whole HTTP response", output);
        const auto& response = parser.get();
        const int status = response.result_int();
        if (status == 100)
            continue;
        const bool allowed = status == 200 || status == 400 || status == 403 || status == 404 || status == 405 || status == 413
            || status == 431 || status == 503;
        if (!allowed || response.find(http::field::content_length) == response.end())
            fail("an unexpected status or no Content-Length", output);
        if (response[http::field::content_type] == "application/json" && !parser.skip()) {
            const QByteArray body = QByteArray::fromStdString(response.body());
            const QJsonDocument parsed = QJsonDocument::fromJson(body);
            if (!kivFuzzStrictJson(body) || !parsed.isObject() || !parsed.object().value(QStringLiteral("result")).isString())
                fail("a JSON body that is not strict JSON with a \"result\" string", output);
        }
        open = parser.keep_alive();
        ++answered;
    }
    // Kept alive to the end: every request read whole got its answer.
    std::size_t whole = 0;
    while (whole < expected.size() && expected[whole].whole)
        ++whole;
    if (open && answered != whole)
        fail("a request read whole got no answer, or an answer came for none", output);
    return 0;
}
