// Development-only helpers (registered with --dev): move the server clock forward and run
// the periodic upkeep at once, so that time rules can be tested without waiting.
#include "core/servercontext.h"
#include "http/envelope.h"
#include "storage/areas.h"
#include "storage/clustersettings.h"

namespace tvr::server {

namespace {

void registerDevRoutes(http::Router &router, ServerContext &ctx)
{
    if (!ctx.config.dev)
        return;
    router.post("/api/dev/clock", [&ctx](const http::Request &req, http::Response &res) {
        const auto body = jsonBody(req, res);
        if (!body)
            return;
        // A century at most: past every time rule, and the offset and the dates made of it stay
        // within range (a larger double would not even convert).
        constexpr double MaxAdvanceSeconds = 100.0 * 366 * 24 * 3600;
        const double requested = body->value(QStringLiteral("advanceSeconds")).toDouble();
        if (requested < 0)
            return fail(res, 400, QStringLiteral("时间只能向前调整"));
        if (!(requested <= MaxAdvanceSeconds))
            return fail(res, 400, Msg::BadRequest);
        const qint64 seconds = qint64(requested);
        // Every instance reads the offset from the database, so the whole cluster moves at once.
        if (!ClusterSettings::add(ctx.db, ClusterSettings::ClockOffset, seconds))
            return fail(res, 500, Msg::Internal);
        maintainAll(ctx);
        ok(res, QJsonObject{{QStringLiteral("now"), ctx.clock.nowText()},
                            {QStringLiteral("offsetSeconds"), ctx.clock.offset()}});
    });
}

} // namespace

Area devArea()
{
    Area area{"dev", {}};
    area.registerRoutes = registerDevRoutes;
    return area;
}

} // namespace tvr::server
