#pragma once

#include "platform/HandshakeGate.h"
#include "server/DatabaseWorkers.h"
#include "server/ServerConfig.h"

#include <QString>

#include <memory>
#include <thread>

namespace httplib {
class Server;
struct Request;
struct Response;
}

// The HTTP side of autotest-server: POST /api carries one JSON request and
// gets one JSON object back; the console's files are served at "/". Each open
// connection is read on a thread of cpp-httplib's pool; its requests are
// answered by DatabaseWorkers, threads with a database connection each. Who may call /api
// follows the host's WebSocket rules (HandshakeGate): browser origins from an
// allow-list, and a token beyond loopback.
class ApiServer
{
public:
    explicit ApiServer(const ServerConfig& config);
    ~ApiServer();
    ApiServer(const ApiServer&) = delete;
    ApiServer& operator=(const ApiServer&) = delete;

    // Binds and starts serving on a thread of its own; false with the reason.
    bool Start(QString& error);
    // Stops accepting, finishes the requests in progress and joins the threads.
    void Stop();
    int Port() const { return m_port; }
    // Finishes the jobs whose station has been silent for the lease.
    void ExpireJobs() { m_workers.ExpireJobs(); }
    const HandshakeGate& Gate() const { return m_gate; }

private:
    void Route();
    void ServeApi(const httplib::Request& request, httplib::Response& response, const QByteArray& body);
    bool Admitted(const httplib::Request& request, httplib::Response& response) const;
    static void SetJson(httplib::Response& response, int status, const QString& result);

    ServerConfig m_config;
    HandshakeGate m_gate;
    DatabaseWorkers m_workers;
    std::unique_ptr<httplib::Server> m_server;
    std::thread m_thread;
    int m_port = 0;
};
