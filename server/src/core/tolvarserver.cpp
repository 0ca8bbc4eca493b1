#include "core/tolvarserver.h"

#include "core/servercontext.h"
#include "demo/demoseeds.h"
#include "files/blobstore.h"
#include "files/quota.h"
#include "files/uploadprogress.h"
#include "http/envelope.h"
#include "http/httpserver.h"
#include "http/router.h"
#include "storage/areas.h"
#include "storage/serversecret.h"
#include "sync/changefeed.h"

#include <QDir>
#include <chrono>

namespace tvr::server {

// "scheme://host:port" of the listening socket.
static QString listenUrl(const ServerConfig &config, int port)
{
    const QString host =
        config.host.contains(QLatin1Char(':')) ? QLatin1Char('[') + config.host + QLatin1Char(']') : config.host;
    return QStringLiteral("%1://%2:%3")
        .arg(config.tls() ? QStringLiteral("https") : QStringLiteral("http"), host)
        .arg(port);
}

TolvarServer::TolvarServer(const ServerConfig &config)
    : m_ctx(std::make_unique<ServerContext>())
    , m_router(std::make_unique<http::Router>())
{
    m_ctx->config = config;
    m_ctx->blobs = std::make_unique<BlobStore>();
    m_ctx->reservations = std::make_unique<QuotaLedger>();
    m_ctx->uploads = std::make_unique<UploadProgressRegistry>();
    m_ctx->feed = std::make_unique<ChangeFeed>(*m_ctx);
}

TolvarServer::~TolvarServer()
{
    stop();
    if (m_upkeep.joinable())
        m_upkeep.join();
    m_ctx->feed->stop(); // waiting polls are answered while the transport is still there
    m_http.reset();      // every handler has ended before the context goes
}

bool TolvarServer::start(QString *error)
{
    ServerContext &ctx = *m_ctx;
    if (ctx.config.dataDir.isEmpty() || !QDir().mkpath(ctx.config.dataDir)) {
        *error = QStringLiteral("cannot create the data directory %1").arg(ctx.config.dataDir);
        return false;
    }
    ctx.config.dataDir = QDir(ctx.config.dataDir).absolutePath();
    ctx.blobs->setRoot(ctx.config.dataDir);
    if (!ServerSecret::loadOrCreate(ctx.config.dataDir, &ctx.secret, error))
        return false;
    if (!ctx.db.open(ctx.dataPath(QStringLiteral("tolvar.db")), error))
        return false;
    if (!migrateAll(ctx, error))
        return false;
    ctx.blobs->sweep(ctx.db);
    if (ctx.config.demo && !DemoSeeds::seedAll(ctx, error))
        return false;
    maintainAll(ctx);

    registerAllRoutes(*m_router, ctx);
    http::Server::Options options;
    options.host = ctx.config.host.toStdString();
    options.port = ctx.config.port;
    options.perAddressLimit = unsigned(ctx.config.perAddressConnections);
    options.headTimeoutSecs = ctx.config.headTimeoutSecs;
    options.publicPerAddressLimit = unsigned(ctx.config.perAddressPublic);
    options.minBytesPerSec = ctx.config.minBytesPerSec;
    options.sendWindowSecs = ctx.config.sendWindowSecs;
    options.receiveWindowSecs = ctx.config.receiveWindowSecs;
    options.tlsCertificatePem = ctx.config.tlsCertificatePem.toStdString();
    options.tlsKeyPem = ctx.config.tlsKeyPem.toStdString();
    if (ctx.config.publicUrl.isEmpty() && ctx.config.port != 0)
        ctx.config.publicUrl = listenUrl(ctx.config, ctx.config.port);
    m_http = std::make_unique<http::Server>(*m_router, options, transportError);
    if (!m_http->start(error))
        return false;
    m_port = m_http->port();
    // Port 0 asked for any free port: links built from the listen address need the real one.
    ctx.config.port = m_port;
    // A free port chosen by the system is known only now, and nobody can have reached it yet.
    if (ctx.config.publicUrl.isEmpty())
        ctx.config.publicUrl = listenUrl(ctx.config, m_port);
    m_upkeep = std::thread([this] { upkeepLoop(); });
    return true;
}

void TolvarServer::stop()
{
    {
        std::lock_guard lock(m_upkeepMutex);
        m_stopping = true;
    }
    m_upkeepWake.notify_all();
}

void TolvarServer::shutdown()
{
    stop();
    if (m_upkeep.joinable())
        m_upkeep.join();
    m_ctx->feed->stop(); // waiting polls end now rather than at the end of their wait
    if (m_http) {
        m_http->stopAccepting();
        m_http->waitIdle(std::chrono::seconds(DrainSecs));
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
