#include "storage/clustersettings.h"

#include "storage/database.h"

namespace tvr::server {

qint64 ClusterSettings::value(Database &db, const char *name, qint64 fallback)
{
    const QVariant stored = db.scalar("SELECT value FROM cluster_settings WHERE name = ?1", {QString::fromUtf8(name)});
    return stored.isValid() ? stored.toLongLong() : fallback;
}

bool ClusterSettings::set(Database &db, const char *name, qint64 value)
{
    return db.exec("INSERT INTO cluster_settings(name, value) VALUES(?1, ?2) "
                   "ON CONFLICT (name) DO UPDATE SET value = excluded.value",
                   {QString::fromUtf8(name), value});
}

bool ClusterSettings::add(Database &db, const char *name, qint64 delta)
{
    return db.exec("INSERT INTO cluster_settings(name, value) VALUES(?1, ?2) "
                   "ON CONFLICT (name) DO UPDATE SET value = cluster_settings.value + excluded.value",
                   {QString::fromUtf8(name), delta});
}

} // namespace tvr::server
