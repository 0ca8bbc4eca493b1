#pragma once

#include "core/clock.h"
#include "core/serverconfig.h"
#include "core/sessionevents.h"
#include "core/throttle.h"
#include "storage/database.h"

#include <QString>
#include <memory>

namespace tvr::server {

// The file area's services: core holds them without knowing them.
class BlobStore;
struct QuotaLedger;
class UploadProgressRegistry;
class ChangeFeed;

// Everything a request handler may use: configuration, the database, the clock, the
// content-addressed blob store, quota reservations, the progress of chunked uploads, the polls
// of the change feed that wait, throttles,
// the end of login sessions and the server's key. One instance lives as long as the server; the
// start-up (TolvarServer) creates it and the file area's services in it, and is where it ends.
struct ServerContext
{
    ServerConfig config;
    Database db;
    Clock clock;
    std::unique_ptr<BlobStore> blobs;
    std::unique_ptr<QuotaLedger> reservations; // guarded by the database lock
    std::unique_ptr<UploadProgressRegistry> uploads;
    std::unique_ptr<ChangeFeed> feed; // polls of the change feed waiting for a change
    Throttle throttle;
    SessionEvents sessionEvents;
    QByteArray secret; // ServerSecret: the key of keyed digests

    // A path inside the data directory.
    QString dataPath(const QString &relative) const { return config.dataDir + QLatin1Char('/') + relative; }
};

} // namespace tvr::server
