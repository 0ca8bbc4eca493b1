#include "quota.h"

#include "servercontext.h"

namespace tvr::server {

qint64 Quota::used(ServerContext &ctx, qint64 userId)
{
    return ctx.db
        .scalar("SELECT COALESCE(SUM(size), 0) FROM files WHERE owner_id = ?1 AND team_id IS NULL "
                "AND type <> 'folder'",
                {userId})
        .toLongLong();
}

qint64 Quota::limit(ServerContext &ctx, qint64 userId)
{
    // Purchased capacity joins here once the capacity area exists.
    return ctx.db.scalar("SELECT base_quota FROM users WHERE id = ?1", {userId}).toLongLong();
}

bool Quota::fits(ServerContext &ctx, qint64 userId, qint64 extra)
{
    return used(ctx, userId) + extra <= limit(ctx, userId);
}

} // namespace tvr::server
