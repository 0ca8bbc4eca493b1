#include "tolvarserver.h"

#include "areas.h"
#include "envelope.h"
#include "servercontext.h"

#include <QDir>
#include <chrono>
#include <cstdio>
#include <httplib.h>

namespace tvr::server {

TolvarServer::TolvarServer(const ServerConfig &config)
    : m_ctx(std::make_unique<ServerContext>())
    , m_http(std::make_unique<httplib::Server>())
{
    m_ctx->config = config;
}

TolvarServer::~TolvarServer()
{
    stop();
    if (m_upkeep.joinable())
        m_upkeep.join();
}

bool TolvarServer::start(QString *error)
{
    ServerContext &ctx = *m_ctx;
    if (ctx.config.dataDir.isEmpty() || !QDir().mkpath(ctx.config.dataDir)) {
        *error = QStringLiteral("cannot create the data directory %1").arg(ctx.config.dataDir);
        return false;
    }
    ctx.config.dataDir = QDir(ctx.config.dataDir).absolutePath();
    ctx.blobs.setRoot(ctx.config.dataDir);
    if (!ctx.db.open(ctx.dataPath(QStringLiteral("tolvar.db")), error))
        return false;
    if (!migrateAll(ctx, error))
        return false;
    ctx.blobs.sweep(ctx.db);
    if (ctx.config.demo && !seedDemoAll(ctx, error))
        return false;
    maintainAll(ctx);

    configureHttp();
    registerAllRoutes(*m_http, ctx);
    const std::string host = ctx.config.host.toStdString();
    if (ctx.config.port == 0) {
        m_port = m_http->bind_to_any_port(host);
    } else {
        m_port = m_http->bind_to_port(host, ctx.config.port) ? ctx.config.port : -1;
    }
    if (m_port <= 0) {
        *error = QStringLiteral("cannot listen on %1:%2").arg(ctx.config.host).arg(ctx.config.port);
        return false;
    }
    m_upkeep = std::thread([this] { upkeepLoop(); });
    return true;
}

void TolvarServer::configureHttp()
{
    httplib::Server &http = *m_http;
    http.new_task_queue = [] { return new httplib::ThreadPool(WorkerThreads); };
    // Clients keep their connections: reuse them for many requests, not the library's five.
    http.set_keep_alive_max_count(100000);
    http.set_keep_alive_timeout(30);
    http.set_read_timeout(60);
    http.set_write_timeout(60);
    http.set_tcp_nodelay(true);

    // Requests in progress are counted from routing to the end of their answer (both run on
    // the connection's thread), so that a shutdown can wait for them and not for idle
    // keep-alive connections.
    static thread_local bool counted = false;
    http.set_logger([this](const httplib::Request &, const httplib::Response &) {
        if (!counted)
            return;
        counted = false;
        std::lock_guard lock(m_busyMutex);
        if (--m_busy == 0)
            m_idle.notify_all();
    });

    // JSON bodies are read into memory by the library, so bound them before they are read;
    // uploads (multipart or raw chunks) are streamed by their handlers instead.
    http.set_pre_routing_handler([this](const httplib::Request &req, httplib::Response &res) {
        if (!counted) {
            counted = true;
            std::lock_guard lock(m_busyMutex);
            ++m_busy;
        }
        const std::string type = req.get_header_value("Content-Type");
        const bool streamed =
            type.rfind("multipart/form-data", 0) == 0 || type.rfind("application/octet-stream", 0) == 0;
        if (!streamed && req.get_header_value_count("Content-Length") > 0) {
            const auto length = std::strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10);
            if (length > JsonBodyLimit) {
                fail(res, 413, QStringLiteral("请求内容过大"));
                res.set_header("Connection", "close");
                return httplib::Server::HandlerResponse::Handled;
            }
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });

    // Unrouted paths and library-level refusals get the JSON envelope too. Answers that already
    // carry content, and 416 (which must stay empty), are left alone.
    http.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request &, httplib::Response &res) {
        if (!res.body.empty() || res.content_provider_ || res.status == 416)
            return httplib::Server::HandlerResponse::Unhandled;
        switch (res.status) {
        case 404:
            fail(res, 404, QStringLiteral("接口不存在"));
            break;
        case 413:
            fail(res, 413, QStringLiteral("请求内容过大"));
            break;
        case 400:
            fail(res, 400, Msg::BadRequest);
            break;
        default:
            fail(res, res.status, QStringLiteral("请求失败(%1)").arg(res.status));
            break;
        }
        return httplib::Server::HandlerResponse::Handled;
    }));

    http.set_exception_handler([](const httplib::Request &req, httplib::Response &res, std::exception_ptr ep) {
        std::string what = "unknown";
        try {
            if (ep)
                std::rethrow_exception(ep);
        } catch (const std::exception &e) {
            what = e.what();
        } catch (...) {
        }
        std::fprintf(stderr, "tolvar-server: %s %s failed: %s\n", req.method.c_str(), req.path.c_str(), what.c_str());
        fail(res, 500, Msg::Internal);
    });
}

bool TolvarServer::run()
{
    return m_http->listen_after_bind();
}

void TolvarServer::stop()
{
    {
        std::lock_guard lock(m_upkeepMutex);
        m_stopping = true;
    }
    m_upkeepWake.notify_all();
    if (m_http)
        m_http->stop();
}

void TolvarServer::shutdown()
{
    stop();
    if (m_upkeep.joinable())
        m_upkeep.join();
    {
        std::unique_lock lock(m_busyMutex);
        m_idle.wait_for(lock, std::chrono::seconds(DrainSecs), [this] { return m_busy <= 0; });
    }
    m_ctx->db.close();
}

void TolvarServer::upkeepLoop()
{
    std::unique_lock lock(m_upkeepMutex);
    while (!m_upkeepWake.wait_for(lock, std::chrono::seconds(UpkeepIntervalSecs), [this] { return m_stopping; })) {
        lock.unlock();
        maintainAll(*m_ctx);
        lock.lock();
    }
}

} // namespace tvr::server
