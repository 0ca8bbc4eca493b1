// Capacity: the plan catalogue, the purchase records and the expiry alert.
#include "billing/capacityplans.h"
#include "billing/capacitystore.h"
#include "billing/payments.h"
#include "core/servercontext.h"
#include "http/auth.h"
#include "http/envelope.h"
#include "storage/areas.h"

namespace tvr::server {

namespace {

void registerCapacityRoutes(http::Router &router, ServerContext &ctx)
{
    // Public: the catalogue is no secret, and clients use it as their connection probe.
    router.get("/api/plans", [](const http::Request &, http::Response &res) {
        ok(res, QJsonObject{{QStringLiteral("plans"), CapacityPlans::toJson()},
                            {QStringLiteral("month_days"), CapacityPlans::MonthDays},
                            {QStringLiteral("year_days"), CapacityPlans::YearDays}});
    });

    router.get("/api/payment/capacity-records",
               withUser(ctx, [&ctx](const http::Request &, http::Response &res, const AuthUser &user) {
                   Payments::settleDue(ctx);
                   ok(res, QJsonObject{{QStringLiteral("records"), CapacityStore::records(ctx, user.id)}});
               }));

    router.get("/api/capacity-expiry-alert",
               withUser(ctx, [&ctx](const http::Request &, http::Response &res, const AuthUser &user) {
                   Payments::settleDue(ctx);
                   ok(res, CapacityStore::expiryAlert(ctx, user.id));
               }));
}

} // namespace

Area capacityArea()
{
    Area area{"capacity", {}};
    area.migrations = {
        {1, "CREATE TABLE capacity_records(id INTEGER PRIMARY KEY AUTOINCREMENT, "
            "  user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE, "
            "  order_no TEXT NOT NULL UNIQUE, plan_id TEXT NOT NULL, plan_name TEXT NOT NULL, "
            "  capacity_gb INTEGER NOT NULL, amount_fen INTEGER NOT NULL, duration_days INTEGER NOT NULL, "
            "  start_at TEXT NOT NULL, expire_at TEXT NOT NULL, "
            "  status TEXT NOT NULL DEFAULT 'active' CHECK(status IN ('active', 'refunded')), "
            "  created_at TEXT NOT NULL);"
            "CREATE INDEX capacity_records_user ON capacity_records(user_id, expire_at);"},
    };
    area.registerRoutes = registerCapacityRoutes;
    area.maintain = CapacityStore::notifyExpiring;
    return area;
}

} // namespace tvr::server
