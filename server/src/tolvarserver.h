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

    ServerContext &context() { return *m_ctx; }

    static constexpr int UpkeepIntervalSecs = 3600;
    static constexpr size_t JsonBodyLimit = 4 * 1024 * 1024;
    static constexpr int WorkerThreads = 32;

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
};

} // namespace tvr::server
