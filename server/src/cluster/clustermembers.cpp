#include "cluster/clustermembers.h"

#include "core/servercontext.h"
#include "storage/transaction.h"

#include <QDateTime>
#include <openssl/rand.h>

namespace tvr::server {

static qint64 wallSecs()
{
    return QDateTime::currentSecsSinceEpoch();
}

bool ClusterMembers::beat(ServerContext &ctx)
{
    return ctx.db.exec("INSERT INTO cluster_members(id, seen_secs) VALUES(?1, ?2) "
                       "ON CONFLICT (id) DO UPDATE SET seen_secs = excluded.seen_secs",
                       {ctx.instanceId, wallSecs()});
}

qint64 ClusterMembers::aliveSince()
{
    return wallSecs() - StaleSecs;
}

bool ClusterMembers::othersAlive(ServerContext &ctx)
{
    return ctx.db
        .scalar("SELECT 1 FROM cluster_members WHERE id <> ?1 AND seen_secs >= ?2", {ctx.instanceId, aliveSince()})
        .isValid();
}

void ClusterMembers::forgetStale(ServerContext &ctx)
{
    Transaction tx(ctx.db);
    const qint64 since = aliveSince();
    ctx.db.exec("DELETE FROM quota_reservations WHERE instance IN "
                "(SELECT id FROM cluster_members WHERE seen_secs < ?1)",
                {since});
    ctx.db.exec("DELETE FROM quota_reservations WHERE instance NOT IN (SELECT id FROM cluster_members)");
    ctx.db.exec("DELETE FROM cluster_members WHERE seen_secs < ?1", {since});
    tx.commit();
}

void ClusterMembers::leave(ServerContext &ctx)
{
    Transaction tx(ctx.db);
    ctx.db.exec("DELETE FROM quota_reservations WHERE instance = ?1", {ctx.instanceId});
    ctx.db.exec("DELETE FROM cluster_members WHERE id = ?1", {ctx.instanceId});
    tx.commit();
}

QString ClusterMembers::newId()
{
    QByteArray random(12, Qt::Uninitialized);
    RAND_bytes(reinterpret_cast<unsigned char *>(random.data()), int(random.size()));
    return QString::fromLatin1(random.toHex());
}

} // namespace tvr::server
