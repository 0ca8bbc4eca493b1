#pragma once

#include "storage/area.h"

#include <vector>

namespace tvr::server {

// Each area's descriptor, defined in its routes_<area>.cpp.
Area coreArea();
Area accountArea();
Area profileArea();
Area fileArea();
Area syncArea();
Area trashArea();
Area uploadArea();
Area downloadArea();
Area archiveArea();
Area devArea();
Area teamArea();
Area vaultArea();
Area notificationArea();
Area capacityArea();
Area paymentArea();
Area updateArea();
Area shareArea();

// Every area of the server in dependency order (tables an area refers to come first).
const std::vector<Area> &allAreas();

// Applies the pending migrations of every area; false (with a message) when one fails.
bool migrateAll(ServerContext &ctx, QString *error);
void registerAllRoutes(http::Router &router, ServerContext &ctx);
void maintainAll(ServerContext &ctx);

} // namespace tvr::server
