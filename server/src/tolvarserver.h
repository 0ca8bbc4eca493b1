#pragma once

#include "serverconfig.h"

#include <QString>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace httplib {
class Server;
}

namespace tvr::server {

struct ServerContext;

// The reference storage server: opens the data directory, migrates the schema, seeds the demo
// data, wires every area's routes into one HTTP server and runs the periodic upkeep.
class TolvarServer final
{
public:
    explicit TolvarServer(const ServerConfig &config);
    ~TolvarServer();
    TolvarServer(const TolvarServer &) = delete;
    TolvarServer &operator=(const TolvarServer &) = delete;

    // Prepares storage and binds the socket; the port is known afterwards.
    bool start(QString *error);
    int port() const { return m_port; }
    // Serves until stop() is called (from any thread).
    bool run();
    void stop();
    // Stops accepting, waits (at most DrainSecs) until no request is being handled, stops the
    // upkeep and closes the database. Idle keep-alive connections are not waited for, so the
    // caller may end the process right after this returns.
    void shutdown();

    ServerContext &context() { return *m_ctx; }

    static constexpr int UpkeepIntervalSecs = 3600;
    static constexpr size_t JsonBodyLimit = 4 * 1024 * 1024;
    static constexpr int WorkerThreads = 32;
    static constexpr int DrainSecs = 30;

private:
    void configureHttp();
    void upkeepLoop();

    std::unique_ptr<ServerContext> m_ctx;
    std::unique_ptr<httplib::Server> m_http;
    int m_port = 0;
    std::thread m_upkeep;
    std::mutex m_upkeepMutex;
    std::condition_variable m_upkeepWake;
    bool m_stopping = false;
    std::mutex m_busyMutex;
    std::condition_variable m_idle;
    int m_busy = 0; // requests between routing and the end of their answer
};

} // namespace tvr::server
