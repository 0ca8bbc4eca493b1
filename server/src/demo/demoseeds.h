#pragma once

#include <QString>

namespace tvr::server {

struct ServerContext;

// The demo data of every area, listed here so that the areas know nothing of it. Each area's
// share is seeded once per data folder (remembered in "meta" as "demo_seeded:<area>"), after
// the schema of every area is in place.
class DemoSeeds final
{
public:
    // Creates the demo account and seeds what has not been seeded yet; false (with a message)
    // when a step fails.
    static bool seedAll(ServerContext &ctx, QString *error);
};

} // namespace tvr::server
