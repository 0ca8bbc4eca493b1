// What the instances of a cluster share beyond the areas' own data: leases for run-once work,
// switches that must agree, the live instances, throttle events and the room held by writes in
// flight.
#include "cluster/clustermembers.h"
#include "core/servercontext.h"
#include "core/throttle.h"
#include "http/envelope.h"
#include "storage/areas.h"

#include <QFile>
#include <QFileInfo>

namespace tvr::server {

namespace {

void maintainCluster(ServerContext &ctx)
{
    ctx.throttle.prune(ctx.clock.nowSecs());
    ClusterMembers::forgetStale(ctx);
}

// The balancer's health check: this instance can reach its database and write into its data
// folder (the shared one; a probe file named for this instance is written and removed).
bool healthy(ServerContext &ctx)
{
    bool ok = false;
    ctx.db.query("SELECT 1", {}, &ok);
    if (!ok || !QFileInfo(ctx.config.dataDir).isDir())
        return false;
    QFile probe(ctx.dataPath(QStringLiteral(".healthz-") + ctx.instanceId));
    const bool written = probe.open(QIODevice::WriteOnly | QIODevice::Truncate) && probe.write("ok", 2) == 2;
    probe.close();
    probe.remove();
    return written;
}

void registerClusterRoutes(http::Router &router, ServerContext &ctx)
{
    router.get("/healthz", [&ctx](const http::Request &, http::Response &res) {
        if (!healthy(ctx))
            return fail(res, 503, QStringLiteral("服务暂不可用：无法访问数据库或数据目录"));
        ok(res, QJsonObject{{QStringLiteral("status"), QStringLiteral("ok")}});
    });
}

} // namespace

Area clusterArea()
{
    Area area{"cluster", {}};
    area.migrations = {
        {1, "CREATE TABLE leases(name TEXT PRIMARY KEY, holder TEXT NOT NULL, until_secs INTEGER NOT NULL);"
            "CREATE TABLE cluster_settings(name TEXT PRIMARY KEY, value INTEGER NOT NULL);"
            "CREATE TABLE cluster_members(id TEXT PRIMARY KEY, seen_secs INTEGER NOT NULL, machine TEXT NOT NULL, "
            "  pid INTEGER NOT NULL);"
            "CREATE TABLE throttle_events(id INTEGER PRIMARY KEY AUTOINCREMENT, key TEXT NOT NULL, "
            "  at_secs INTEGER NOT NULL);"
            "CREATE INDEX throttle_events_key ON throttle_events(key, at_secs);"
            "CREATE TABLE quota_reservations(id INTEGER PRIMARY KEY AUTOINCREMENT, instance TEXT NOT NULL, "
            "  user_id INTEGER NOT NULL, bytes INTEGER NOT NULL, team_id INTEGER NOT NULL DEFAULT 0, "
            "  member_id INTEGER NOT NULL DEFAULT 0, revoked INTEGER NOT NULL DEFAULT 0);"
            "CREATE INDEX quota_reservations_user ON quota_reservations(user_id);"
            "CREATE TABLE active_extracts(marker INTEGER PRIMARY KEY, instance TEXT NOT NULL);"},
    };
    area.registerRoutes = registerClusterRoutes;
    area.maintain = maintainCluster;
    return area;
}

} // namespace tvr::server
