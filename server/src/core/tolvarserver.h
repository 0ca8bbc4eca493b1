#pragma once

#include "core/serverconfig.h"

#include <QString>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace tvr::server {

namespace http {
class Router;
class Server;
} // namespace http

struct ServerContext;

// The reference storage server: opens the data directory, migrates the schema, seeds the demo
// data, wires every area's routes into the HTTP transport and runs the periodic upkeep.
class TolvarServer final
{
public:
    explicit TolvarServer(const ServerConfig &config);
    ~TolvarServer();
    TolvarServer(const TolvarServer &) = delete;
    TolvarServer &operator=(const TolvarServer &) = delete;

    // Prepares storage, binds the socket and starts serving; the port is known afterwards.
    bool start(QString *error);
    int port() const { return m_port; }
    // Ends the upkeep (from any thread).
    void stop();
    // Stops accepting, waits (at most DrainSecs) until no request is being handled, stops the
    // upkeep and closes the database. Idle keep-alive connections are not waited for, so the
    // caller may end the process right after this returns.
    void shutdown();

    ServerContext &context() { return *m_ctx; }

    static constexpr int UpkeepIntervalSecs = 3600;
    static constexpr int DrainSecs = 30;

private:
    void upkeepLoop();

    std::unique_ptr<ServerContext> m_ctx;
    std::unique_ptr<http::Router> m_router;
    std::unique_ptr<http::Server> m_http;
    int m_port = 0;
    std::thread m_upkeep;
    std::mutex m_upkeepMutex;
    std::condition_variable m_upkeepWake;
    bool m_stopping = false;
};

} // namespace tvr::server
