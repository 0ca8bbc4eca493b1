#include "demo/demoseeds.h"

#include "accounts/accountstore.h"
#include "core/servercontext.h"
#include "demo/demoextras.h"
#include "demo/demofiles.h"

#include <iterator>

namespace tvr::server {

namespace {

struct Seeder
{
    const char *area; // the name of the area whose tables it fills (the "meta" mark)
    bool (*seed)(ServerContext &ctx, qint64 demoUserId);
};

// In the order of the areas: files come before the trash and the teams that refer to them.
constexpr Seeder Seeders[] = {
    {"files", DemoFiles::seed},
    {"trash", DemoExtras::seedTrash},
    {"notifications", DemoExtras::seedNotifications},
    {"teams", DemoExtras::seedTeams},
    {"capacity", DemoExtras::seedCapacity},
    {"updates", DemoExtras::seedUpdates},
};

} // namespace

bool DemoSeeds::seedAll(ServerContext &ctx, QString *error)
{
    const qint64 demoId = AccountStore::ensureDemoAccount(ctx);
    if (demoId <= 0) {
        *error = QStringLiteral("cannot create the demo account: %1").arg(ctx.db.lastError());
        return false;
    }
    for (const Seeder &seeder : Seeders) {
        const QString key = QStringLiteral("demo_seeded:") + QString::fromUtf8(seeder.area);
        if (ctx.db.scalar("SELECT value FROM meta WHERE key = ?1", {key}).isValid())
            continue;
        if (!seeder.seed(ctx, demoId)) {
            *error =
                QStringLiteral("demo data of %1 failed: %2").arg(QString::fromUtf8(seeder.area), ctx.db.lastError());
            return false;
        }
        ctx.db.exec("INSERT INTO meta(key, value) VALUES(?1, ?2) ON CONFLICT(key) DO UPDATE SET value = excluded.value",
                    {key, ctx.clock.nowText()});
    }
    return true;
}

} // namespace tvr::server
