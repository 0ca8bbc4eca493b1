#include "storage/areas.h"

#include "core/servercontext.h"
#include "storage/transaction.h"

#include <cstdio>

namespace tvr::server {

const std::vector<Area> &allAreas()
{
    // Add a new area here (and declare its descriptor in areas.h).
    static const std::vector<Area> areas = {
        coreArea(),     accountArea(),  profileArea(), fileArea(),         syncArea(), trashArea(),
        uploadArea(),   downloadArea(), archiveArea(), notificationArea(), teamArea(), vaultArea(),
        capacityArea(), paymentArea(),  updateArea(),  shareArea(),        devArea(),
    };
    return areas;
}

static bool applied(Database &db, const char *area, int version)
{
    return db
        .scalar("SELECT 1 FROM schema_migrations WHERE area = ?1 AND version = ?2", {QString::fromUtf8(area), version})
        .isValid();
}

bool migrateAll(ServerContext &ctx, QString *error)
{
    if (!ctx.db.execScript(QStringLiteral("CREATE TABLE IF NOT EXISTS schema_migrations("
                                          "area TEXT NOT NULL, version INTEGER NOT NULL, applied_at TEXT NOT NULL, "
                                          "PRIMARY KEY(area, version))"))) {
        *error = ctx.db.lastError();
        return false;
    }
    for (const Area &area : allAreas()) {
        for (const Migration &step : area.migrations) {
            if (applied(ctx.db, area.name, step.version))
                continue;
            Transaction tx(ctx.db);
            ctx.db.execScript(QString::fromUtf8(step.sql));
            ctx.db.exec("INSERT INTO schema_migrations(area, version, applied_at) VALUES(?1, ?2, ?3)",
                        {QString::fromUtf8(area.name), step.version, ctx.clock.nowText()});
            if (!tx.commit()) {
                *error = QStringLiteral("migration %1/%2 failed: %3")
                             .arg(QString::fromUtf8(area.name))
                             .arg(step.version)
                             .arg(ctx.db.lastError());
                return false;
            }
        }
    }
    return true;
}

void registerAllRoutes(http::Router &router, ServerContext &ctx)
{
    for (const Area &area : allAreas()) {
        if (area.registerRoutes)
            area.registerRoutes(router, ctx);
    }
}

void maintainAll(ServerContext &ctx)
{
    for (const Area &area : allAreas()) {
        if (area.maintain)
            area.maintain(ctx);
    }
}

} // namespace tvr::server
