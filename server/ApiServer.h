#pragma once

#include "platform/HandshakeGate.h"
#include "server/Allowance.h"
#include "server/ConsoleFiles.h"
#include "server/DatabaseWorkers.h"
#include "server/ServerConfig.h"
#include "server/ServerMetrics.h"

#include <QString>

#include <memory>

// The HTTP side of autotest-server: POST /api carries one JSON request and
// gets one JSON object back; the console's files are served at "/", and
// GET /metrics and /healthz tell how the server fares (ServerMetrics).
// Connections are read and written by a few I/O threads (Boost.Beast on
// Asio), a session each (HttpSession); requests are answered by
// DatabaseWorkers, threads with a database connection each, and the session
// resumes when the answer is ready. Who may call /api follows the host's
// WebSocket rules (HandshakeGate): browser origins from an allow-list, and a
// token beyond loopback.
class ApiServer
{
public:
    explicit ApiServer(const ServerConfig& config);
    ~ApiServer();
    ApiServer(const ApiServer&) = delete;
    ApiServer& operator=(const ApiServer&) = delete;

    // Binds and starts serving on the I/O threads; false with the reason.
    bool Start(QString& error);
    // Stops accepting, lets the requests being answered finish (a few
    // seconds at most), then closes every connection and joins the threads.
    void Stop();
    int Port() const { return m_port; }
    // Finishes the jobs whose station has been silent for the lease.
    void ExpireJobs() { m_workers.ExpireJobs(); }
    void ExpireStations() { m_workers.ExpireJobs(true); }
    const HandshakeGate& Gate() const { return m_gate; }

private:
    struct Io;

    void Accept();

    ServerConfig m_config;
    HandshakeGate m_gate;
    DatabaseWorkers m_workers;
    ConsoleFiles m_console;
    Allowance m_connections;
    Allowance m_buffered;
    Allowance m_answering;
    ServerMetrics m_metrics;
    // After the members the sessions use: destroying it ends the sessions.
    std::unique_ptr<Io> m_io;
    int m_port = 0;
};
