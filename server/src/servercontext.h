#pragma once

#include "blobstore.h"
#include "clock.h"
#include "database.h"
#include "serverconfig.h"

#include <QString>

namespace tvr::server {

// Everything a request handler may use: configuration, the database, the clock and the
// content-addressed blob store. One instance lives as long as the server.
struct ServerContext
{
    ServerConfig config;
    Database db;
    Clock clock;
    BlobStore blobs;

    // A path inside the data directory.
    QString dataPath(const QString &relative) const { return config.dataDir + QLatin1Char('/') + relative; }
};

} // namespace tvr::server
