#include "sync/changelog.h"

#include "core/clock.h"
#include "core/servercontext.h"
#include "storage/transaction.h"
#include "sync/changefeed.h"

namespace tvr::server {

qint64 ChangeLog::nextSeq(ServerContext &ctx, qint64 count)
{
    if (count <= 0 || !ctx.db.exec("UPDATE sync_counter SET seq = seq + ?1 WHERE id = 1", {count}))
        return 0;
    const qint64 last = ctx.db.scalar("SELECT seq FROM sync_counter WHERE id = 1").toLongLong();
    if (last < count)
        return 0;
    ChangeFeed *feed = ctx.feed.get();
    if (feed)
        ctx.db.afterCommit([feed] { feed->poke(); });
    return last - count + 1;
}

bool ChangeLog::stamp(ServerContext &ctx, const std::vector<qint64> &ids)
{
    if (ids.empty())
        return true;
    const qint64 first = nextSeq(ctx, qint64(ids.size()));
    if (first <= 0)
        return false;
    for (size_t i = 0; i < ids.size(); ++i) {
        if (!ctx.db.exec("UPDATE files SET seq = ?2 WHERE id = ?1", {ids[i], first + qint64(i)}))
            return false;
    }
    return true;
}

bool ChangeLog::bury(ServerContext &ctx, const std::vector<qint64> &ids)
{
    if (ids.empty())
        return true;
    const qint64 first = nextSeq(ctx, qint64(ids.size()));
    if (first <= 0)
        return false;
    const QString now = ctx.clock.nowText();
    for (size_t i = 0; i < ids.size(); ++i) {
        // Only shown rows: those of an unfinished extraction (negative trash_root) were never
        // in the feed.
        if (!ctx.db.exec("INSERT INTO sync_tombstones(id, space, parent_id, name, type, seq, deleted_at) "
                         "SELECT id, COALESCE(team_id, -owner_id), parent_id, name, type, ?2, ?3 FROM files "
                         "WHERE id = ?1 AND (trash_root IS NULL OR trash_root > 0) "
                         "ON CONFLICT (id) DO UPDATE SET seq = excluded.seq, deleted_at = excluded.deleted_at",
                         {ids[i], first + qint64(i), now}))
            return false;
    }
    return true;
}

qint64 ChangeLog::head(ServerContext &ctx)
{
    return ctx.db.scalar("SELECT seq FROM sync_counter WHERE id = 1").toLongLong();
}

qint64 ChangeLog::prunedUpTo(ServerContext &ctx)
{
    return ctx.db.scalar("SELECT pruned FROM sync_counter WHERE id = 1").toLongLong();
}

bool ChangeLog::changedSince(ServerContext &ctx, qint64 space, qint64 cursor)
{
    return ctx.db
               .scalar("SELECT 1 FROM files WHERE COALESCE(team_id, -owner_id) = ?1 AND seq > ?2 "
                       "AND (trash_root IS NULL OR trash_root > 0) LIMIT 1",
                       {space, cursor})
               .isValid() ||
           ctx.db.scalar("SELECT 1 FROM sync_tombstones WHERE space = ?1 AND seq > ?2 LIMIT 1", {space, cursor})
               .isValid();
}

int ChangeLog::pruneTombstones(ServerContext &ctx)
{
    const QString cutoff = Clock::format(ctx.clock.now().addSecs(-TombstoneKeepSecs));
    Transaction tx(ctx.db);
    const QVariant newest = ctx.db.scalar("SELECT MAX(seq) FROM sync_tombstones WHERE deleted_at < ?1", {cutoff});
    if (!newest.isValid())
        return 0;
    ctx.db.exec("DELETE FROM sync_tombstones WHERE deleted_at < ?1", {cutoff});
    const int dropped = ctx.db.changes();
    ctx.db.exec("UPDATE sync_counter SET pruned = ?1 WHERE id = 1 AND pruned < ?1", {newest.toLongLong()});
    return tx.commit() ? dropped : 0;
}

} // namespace tvr::server
