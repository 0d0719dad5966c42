#include "server/ApiServer.h"

#include "platform/Debugger.h"
#include "server/HttpSession.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include <chrono>
#include <limits>
#include <thread>
#include <vector>

namespace net = boost::asio;
using tcp = boost::asio::ip::tcp;
using boost::system::error_code;

struct ApiServer::Io
{
    explicit Io(int threads) : context(threads) {}

    // First, so that it outlives the sessions that the context ends.
    std::unique_ptr<HttpContext> shared;
    net::io_context context;
    net::executor_work_guard<net::io_context::executor_type> work{context.get_executor()};
    net::strand<net::io_context::executor_type> strand{net::make_strand(context)};
    tcp::acceptor acceptor{strand};
    // Out of file descriptors, accepting again at once would spin.
    net::steady_timer pause{strand};
    std::vector<std::thread> threads;
};

ApiServer::ApiServer(const ServerConfig& config)
    : m_config(config)
    , m_workers(config)
    , m_console(config.consoleDir)
    , m_connections(config.maxConnections)
    , m_buffered(config.maxBufferedBytes)
    , m_answering(std::numeric_limits<qint64>::max())
{
    if (!config.origins.isEmpty())
        m_gate.SetAllowedOrigins(config.origins);
    m_gate.SetToken(config.token);
    if (!config.consoleDir.isEmpty() && !m_console.Enabled())
        KIV_LOG("Server", "ApiServer::ApiServer", 1) << "No console: " << config.consoleDir << " is not a directory";
}

ApiServer::~ApiServer()
{
    Stop();
}

bool ApiServer::Start(QString& error)
{
    if (m_io)
        return true;
    const int threads = qMax(1, m_config.ioThreads);
    m_io = std::make_unique<Io>(threads);
    m_io->shared.reset(new HttpContext{m_config, m_gate, m_workers, m_console, m_buffered, m_answering, m_connections, m_metrics});
    error_code failure;
    const net::ip::address address = net::ip::make_address(m_config.address.toStdString(), failure);
    const tcp::endpoint endpoint(address, static_cast<unsigned short>(m_config.port));
    tcp::acceptor& acceptor = m_io->acceptor;
    if (!failure)
        acceptor.open(endpoint.protocol(), failure);
    // Without it a restart fails while the last run's connections linger in TIME_WAIT.
    if (!failure)
        acceptor.set_option(net::socket_base::reuse_address(true), failure);
    if (!failure)
        acceptor.bind(endpoint, failure);
    if (!failure)
        acceptor.listen(net::socket_base::max_listen_connections, failure);
    if (failure) {
        error = QStringLiteral("can't listen on %1:%2: %3")
                    .arg(m_config.address)
                    .arg(m_config.port)
                    .arg(QString::fromStdString(failure.message()));
        m_io.reset();
        return false;
    }
    m_port = acceptor.local_endpoint(failure).port();
    // The console served on another port is an origin of its own.
    if (m_config.origins.isEmpty() && m_port != 8080) {
        QStringList origins = HandshakeGate::DefaultOrigins();
        origins << QStringLiteral("http://127.0.0.1:%1").arg(m_port) << QStringLiteral("http://localhost:%1").arg(m_port);
        m_gate.SetAllowedOrigins(origins);
    }
    m_workers.Start();
    net::post(m_io->strand, [this] { Accept(); });
    for (int i = 0; i < threads; ++i)
        m_io->threads.emplace_back([this] { m_io->context.run(); });
    return true;
}

void ApiServer::Accept()
{
    // Each session gets a strand of its own: its handlers never run at once,
    // whichever I/O thread takes them.
    m_io->acceptor.async_accept(net::make_strand(m_io->context), [this](error_code error, tcp::socket socket) {
        if (!m_io->acceptor.is_open())
            return;
        if (error) {
            if (error == net::error::no_descriptors || error == net::error::no_buffer_space || error == net::error::no_memory) {
                KIV_LOG("Server", "ApiServer::Accept", 1) << "Can't accept: " << QString::fromStdString(error.message())
                                                          << "; trying again in 500 ms";
                m_io->pause.expires_after(std::chrono::milliseconds(500));
                m_io->pause.async_wait([this](error_code waited) {
                    if (!waited)
                        Accept();
                });
                return;
            }
        } else {
            Allowance::Share connection(m_connections);
            connection.Take(1);
            std::make_shared<HttpSession>(std::move(socket), *m_io->shared, std::move(connection))->Start();
        }
        Accept();
    });
}

void ApiServer::Stop()
{
    if (!m_io)
        return;
    net::post(m_io->strand, [this] {
        error_code ignored;
        m_io->acceptor.close(ignored);
        m_io->pause.cancel();
    });
    // Requests in the database's hands are answered, held beats at once; a
    // few seconds bound a client that does not take its reply.
    m_workers.ReleaseHeld();
    if (!m_answering.WaitEmpty(3000))
        KIV_LOG("Server", "ApiServer::Stop", 1) << "Stopping with requests still being answered";
    m_io->work.reset();
    m_io->context.stop();
    for (std::thread& thread : m_io->threads)
        thread.join();
    // Only once no session can hand over a request any more; what is queued
    // is answered into the stopped context and dropped with it.
    m_workers.Stop();
    m_io.reset();
}
