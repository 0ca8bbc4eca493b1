// The update area: published client releases under "/downloads/<channel>/", without sign-in.
#include "core/servercontext.h"
#include "storage/areas.h"
#include "updates/updatearea.h"

#include <QDir>

namespace tvr::server {

namespace {

void registerUpdateRoutes(http::Router &router, ServerContext &ctx)
{
    const QString root = UpdateArea::rootFor(ctx.config.downloadsDir, ctx.config.dataDir);
    QDir().mkpath(root);
    UpdateArea(root).registerRoutes(router);
}

} // namespace

Area updateArea()
{
    Area area{"updates", {}};
    area.registerRoutes = registerUpdateRoutes;
    return area;
}

} // namespace tvr::server
