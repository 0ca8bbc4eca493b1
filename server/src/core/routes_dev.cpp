// Development-only helpers (registered with --dev): move the server clock forward and run
// the periodic upkeep at once, so that time rules can be tested without waiting.
#include "core/servercontext.h"
#include "http/envelope.h"
#include "storage/areas.h"

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
        const qint64 seconds = qint64(body->value(QStringLiteral("advanceSeconds")).toDouble());
        if (seconds < 0)
            return fail(res, 400, QStringLiteral("时间只能向前调整"));
        ctx.clock.advance(seconds);
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
