#pragma once

#include "core/clock.h"
#include "core/serverconfig.h"
#include "core/sessionevents.h"
#include "core/throttle.h"
#include "files/blobstore.h"
#include "files/quota.h"
#include "files/uploadprogress.h"
#include "storage/database.h"

#include <QString>

namespace tvr::server {

// Everything a request handler may use: configuration, the database, the clock, the
// content-addressed blob store, quota reservations, the progress of chunked uploads, throttles,
// the end of login sessions and the server's key. One instance lives as long as the server.
struct ServerContext
{
    ServerConfig config;
    Database db;
    Clock clock;
    BlobStore blobs;
    QuotaLedger reservations; // guarded by the database lock
    UploadProgressRegistry uploads;
    Throttle throttle;
    SessionEvents sessionEvents;
    QByteArray secret; // ServerSecret: the key of keyed digests

    // A path inside the data directory.
    QString dataPath(const QString &relative) const { return config.dataDir + QLatin1Char('/') + relative; }
};

} // namespace tvr::server
