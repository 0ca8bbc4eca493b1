#include "core/tolvarserver.h"

#include "cluster/clustermembers.h"
#include "cluster/lease.h"
#include "core/servercontext.h"
#include "demo/demoseeds.h"
#include "files/blobstore.h"
#include "files/quota.h"
#include "files/uploadprogress.h"
#include "http/envelope.h"
#include "http/httpserver.h"
#include "http/router.h"
#include "storage/areas.h"
#include "storage/clustersettings.h"
#include "storage/serversecret.h"
#include "sync/changefeed.h"

#include <QDir>
#include <chrono>
#include <thread>

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
    m_ctx->instanceId = ClusterMembers::newId();
}

// Seeds the demo data on one instance while the others that start at the same moment wait for
// it, then find it seeded.
static bool seedOnce(ServerContext &ctx, QString *error)
{
    constexpr qint64 LeaseSecs = 120;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(LeaseSecs * 2);
    while (!Lease::take(ctx.db, QStringLiteral("demo-seed"), ctx.instanceId, ctx.clock.nowSecs(), LeaseSecs)) {
        if (std::chrono::steady_clock::now() > giveUp) {
            *error = QStringLiteral("another instance is still seeding the demo data");
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    const bool seeded = DemoSeeds::seedAll(ctx, error);
    Lease::release(ctx.db, QStringLiteral("demo-seed"), ctx.instanceId);
    return seeded;
}

// The periodic upkeep runs on one instance of the cluster per interval: whoever takes the lease
// first, holding it until shortly before the next round is due.
static void maintainOnce(ServerContext &ctx)
{
    const qint64 holdSecs = TolvarServer::UpkeepIntervalSecs - TolvarServer::UpkeepIntervalSecs / 20;
    if (Lease::take(ctx.db, QStringLiteral("upkeep"), ctx.instanceId, ctx.clock.nowSecs(), holdSecs))
        maintainAll(ctx);
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
    const QString database =
        ctx.config.database.isEmpty() ? ctx.dataPath(QStringLiteral("tolvar.db")) : ctx.config.database;
    if (!ctx.db.open(database, error))
        return false;
    // Servers starting at once on one database migrate and seed one after the other.
    if (!ctx.db.lockStartup(error))
        return false;
    bool prepared = migrateAll(ctx, error);
    if (prepared) {
        if (ctx.config.dev) {
            // The development switches act on the whole cluster: they live in the shared database.
            ctx.clock.setOffsetSource(
                [&ctx] { return ClusterSettings::value(ctx.db, ClusterSettings::ClockOffset, 0); });
            if (ctx.config.autoPaySecs >= 0)
                ClusterSettings::set(ctx.db, ClusterSettings::AutoPaySecs, ctx.config.autoPaySecs);
        }
        // Temporary and unreferenced files are leftovers only when no other instance may be
        // writing them right now.
        ClusterMembers::beat(ctx);
        ClusterMembers::forgetDeadNeighbours(ctx);
        if (!ClusterMembers::othersAlive(ctx))
            ctx.blobs->sweep(ctx.db);
        prepared = !ctx.config.demo || seedOnce(ctx, error);
    }
    ctx.db.unlockStartup();
    if (!prepared)
        return false;
    maintainOnce(ctx);

    registerAllRoutes(*m_router, ctx);
    http::Server::Options options;
    options.host = ctx.config.host.toStdString();
    options.port = ctx.config.port;
    options.perAddressLimit = unsigned(ctx.config.perAddressConnections);
    for (const QString &proxy : ctx.config.trustedProxies) {
        if (!options.trustedProxies.add(proxy.toStdString())) {
            *error = QStringLiteral("--trusted-proxy %1 is not an address or ADDRESS/BITS").arg(proxy);
            return false;
        }
    }
    // Behind a balancer every connection comes from its address: the transport's own per-address
    // cap would count all clients as one, so the balancer caps connections instead.
    if (!options.trustedProxies.empty())
        options.perAddressLimit = 0;
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
    ClusterMembers::leave(*m_ctx);
    m_ctx->db.close();
}

// Beats the instance's heartbeat often, and offers to run the upkeep once per interval.
void TolvarServer::upkeepLoop()
{
    std::unique_lock lock(m_upkeepMutex);
    auto nextUpkeep = std::chrono::steady_clock::now() + std::chrono::seconds(UpkeepIntervalSecs);
    while (
        !m_upkeepWake.wait_for(lock, std::chrono::seconds(ClusterMembers::BeatSecs), [this] { return m_stopping; })) {
        lock.unlock();
        ClusterMembers::beat(*m_ctx);
        if (std::chrono::steady_clock::now() >= nextUpkeep) {
            nextUpkeep = std::chrono::steady_clock::now() + std::chrono::seconds(UpkeepIntervalSecs);
            maintainOnce(*m_ctx);
        }
        lock.lock();
    }
}

} // namespace tvr::server
