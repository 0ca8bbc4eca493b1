#include "storage/areas.h"

namespace tvr::server {

// Tables every area shares: key/value facts about the store, and the reference-counted blobs.
Area coreArea()
{
    Area area{"core", {}};
    area.migrations = {
        {1, "CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);"
            "CREATE TABLE blobs(hash TEXT PRIMARY KEY, md5 TEXT NOT NULL, size INTEGER NOT NULL, "
            "  refs INTEGER NOT NULL DEFAULT 0);"
            "CREATE INDEX blobs_md5 ON blobs(md5, size);"},
    };
    return area;
}

} // namespace tvr::server
