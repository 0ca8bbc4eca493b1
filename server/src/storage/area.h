#pragma once

#include "http/router.h"

#include <QString>
#include <vector>

namespace tvr::server {

struct ServerContext;

// One schema step of an area. Steps are applied once, in order, each in its own transaction,
// and recorded in "schema_migrations" by (area, version), so areas number their steps
// independently. Never edit a released step: add the next version.
struct Migration
{
    int version;
    const char *sql;
};

// A feature area of the server: its tables, its routes and its periodic upkeep (the demo data
// lives apart, in DemoSeeds). Every area is listed once in areas.cpp.
struct Area
{
    const char *name;
    std::vector<Migration> migrations;
    void (*registerRoutes)(http::Router &router, ServerContext &ctx) = nullptr;
    // Periodic upkeep (hourly, at start-up, and after the development clock moves).
    void (*maintain)(ServerContext &ctx) = nullptr;
};

} // namespace tvr::server
