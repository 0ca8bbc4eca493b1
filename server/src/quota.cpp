#include "quota.h"

#include "capacitystore.h"
#include "servercontext.h"
#include "teamstore.h"
#include "vaultstore.h"

namespace tvr::server {

qint64 Quota::used(ServerContext &ctx, qint64 userId)
{
    return ctx.db
               .scalar("SELECT COALESCE(SUM(size), 0) FROM files WHERE owner_id = ?1 AND team_id IS NULL "
                       "AND type <> 'folder'",
                       {userId})
               .toLongLong() +
           TeamStore::ownedTeamsBytes(ctx, userId) + VaultStore::usedBytes(ctx, userId);
}

qint64 Quota::limit(ServerContext &ctx, qint64 userId)
{
    return ctx.db.scalar("SELECT base_quota FROM users WHERE id = ?1", {userId}).toLongLong() +
           CapacityStore::purchasedBytes(ctx, userId);
}

bool Quota::fits(ServerContext &ctx, qint64 userId, qint64 extra)
{
    return used(ctx, userId) + extra <= limit(ctx, userId);
}

qint64 Quota::holder(ServerContext &ctx, const FileSpace &space)
{
    return space.teamId == 0 ? space.userId : TeamStore::ownerOf(ctx, space.teamId);
}

} // namespace tvr::server
