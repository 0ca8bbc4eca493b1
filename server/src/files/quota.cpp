#include "files/quota.h"

#include "accounts/accountstore.h"
#include "billing/capacitystore.h"
#include "cluster/clustermembers.h"
#include "core/servercontext.h"
#include "files/filetree.h"
#include "storage/transaction.h"
#include "teams/teamstore.h"
#include "vault/vaultstore.h"

#include <optional>

namespace tvr::server {

// Makes the account's quota figures this transaction's until it ends: every check of an
// account and the write that follows it run one after the other, on every server of a
// cluster (PostgreSQL locks the account's row; SQLite's transactions exclude each other
// anyway). Taken before the database mutex, never while holding it.
static void holdAccount(ServerContext &ctx, qint64 userId)
{
    ctx.db.lockForUpdate("SELECT id FROM users WHERE id = ?1", {userId});
}

void Quota::hold(ServerContext &ctx, qint64 userId)
{
    holdAccount(ctx, userId);
}

qint64 Quota::used(ServerContext &ctx, qint64 userId)
{
    return FileTree::personalBytes(ctx, userId) + TeamStore::ownedTeamsBytes(ctx, userId) +
           VaultStore::usedBytes(ctx, userId);
}

qint64 Quota::limit(ServerContext &ctx, qint64 userId)
{
    return AccountStore::baseQuota(ctx, userId) + CapacityStore::purchasedBytes(ctx, userId);
}

qint64 Quota::reserved(ServerContext &ctx, qint64 userId)
{
    std::lock_guard lock(ctx.db.mutex());
    // Writes in flight on any live instance; those of an instance that died give their room back.
    const qint64 writes = ctx.db
                              .scalar("SELECT COALESCE(SUM(bytes), 0) FROM quota_reservations WHERE user_id = ?1 "
                                      "AND instance IN (SELECT id FROM cluster_members WHERE seen_secs >= ?2)",
                                      {userId, ClusterMembers::aliveSince()})
                              .toLongLong();
    // Chunked uploads go to the personal space only; each holds its size from init on.
    const qint64 sessions = ctx.db
                                .scalar("SELECT COALESCE(SUM(size), 0) FROM upload_sessions "
                                        "WHERE user_id = ?1 AND team_id IS NULL",
                                        {userId})
                                .toLongLong();
    return writes + sessions;
}

qint64 Quota::room(ServerContext &ctx, qint64 userId)
{
    holdAccount(ctx, userId);
    std::lock_guard lock(ctx.db.mutex());
    return qMax<qint64>(0, limit(ctx, userId) - used(ctx, userId) - reserved(ctx, userId));
}

bool Quota::fits(ServerContext &ctx, qint64 userId, qint64 extra)
{
    // Compared against what is left, never added to what is used: a huge size cannot wrap.
    return extra >= 0 && extra <= room(ctx, userId);
}

bool Quota::withinLimit(ServerContext &ctx, qint64 userId)
{
    holdAccount(ctx, userId);
    std::lock_guard lock(ctx.db.mutex());
    return used(ctx, userId) + reserved(ctx, userId) <= limit(ctx, userId);
}

qint64 Quota::holder(ServerContext &ctx, const FileSpace &space)
{
    return space.teamId == 0 ? space.userId : TeamStore::ownerOf(ctx, space.teamId);
}

qint64 Quota::entries(ServerContext &ctx, qint64 userId)
{
    holdAccount(ctx, userId);
    std::lock_guard lock(ctx.db.mutex());
    qint64 count =
        ctx.db.scalar("SELECT COUNT(*) FROM files WHERE owner_id = ?1 AND team_id IS NULL", {userId}).toLongLong();
    for (const QVariantList &team : ctx.db.query("SELECT id FROM teams WHERE owner_id = ?1", {userId}))
        count += ctx.db.scalar("SELECT COUNT(*) FROM files WHERE team_id = ?1", {team.value(0)}).toLongLong();
    return count;
}

bool Quota::entriesFit(ServerContext &ctx, qint64 userId, qint64 extra)
{
    return extra >= 0 && extra <= ctx.config.maxEntriesPerUser - entries(ctx, userId);
}

QString Quota::tooManyEntries(ServerContext &ctx)
{
    return QStringLiteral("文件数量已达上限（每个账户最多 %1 个文件和文件夹），请清理后再试")
        .arg(ctx.config.maxEntriesPerUser);
}

void Quota::endTeamWrites(ServerContext &ctx, qint64 teamId, qint64 memberId)
{
    std::lock_guard lock(ctx.db.mutex());
    auto &writes = ctx.reservations->teamWrites;
    const auto key = std::make_pair(teamId, memberId);
    for (auto it = writes.lower_bound({key, nullptr}); it != writes.end() && it->first == key; ++it)
        it->second->revoke();
    // Writes of the member on other instances stop at their next growth.
    ctx.db.exec("UPDATE quota_reservations SET revoked = 1, bytes = 0 WHERE team_id = ?1 AND member_id = ?2",
                {teamId, memberId});
}

QuotaReservation::QuotaReservation(ServerContext &ctx, qint64 holderId)
    : m_ctx(ctx)
    , m_holder(holderId)
{}

QuotaReservation::~QuotaReservation()
{
    std::lock_guard lock(m_ctx.db.mutex());
    release();
    if (m_teamWrite.first != 0)
        m_ctx.reservations->teamWrites.erase({m_teamWrite, this});
}

void QuotaReservation::belongsToTeamWrite(qint64 teamId, qint64 memberId)
{
    std::lock_guard lock(m_ctx.db.mutex());
    m_teamWrite = {teamId, memberId};
    m_ctx.reservations->teamWrites.insert({m_teamWrite, this});
    if (m_rowId != 0)
        m_ctx.db.exec("UPDATE quota_reservations SET team_id = ?2, member_id = ?3 WHERE id = ?1",
                      {m_rowId, teamId, memberId});
}

void QuotaReservation::revoke()
{
    m_revoked = true;
    release();
}

// One decision for the whole cluster: the check and the growth of the row are one transaction.
bool QuotaReservation::take(qint64 extra)
{
    if (m_revoked)
        return false;
    Transaction tx(m_ctx.db);
    if (m_rowId != 0 &&
        m_ctx.db.scalar("SELECT revoked FROM quota_reservations WHERE id = ?1", {m_rowId}).toLongLong() != 0) {
        m_revoked = true; // ended from another instance
        return false;
    }
    if (!Quota::fits(m_ctx, m_holder, extra))
        return false;
    if (m_rowId == 0) {
        m_ctx.db.exec("INSERT INTO quota_reservations(instance, user_id, bytes, team_id, member_id) "
                      "VALUES(?1, ?2, ?3, ?4, ?5)",
                      {m_ctx.instanceId, m_holder, extra, m_teamWrite.first, m_teamWrite.second});
        m_rowId = m_ctx.db.lastInsertId();
    } else {
        m_ctx.db.exec("UPDATE quota_reservations SET bytes = bytes + ?2 WHERE id = ?1", {m_rowId, extra});
    }
    if (!tx.commit()) {
        m_rowId = 0;
        return false;
    }
    m_bytes += extra;
    return true;
}

// With a pool of connections (PostgreSQL) a reservation waits, like every check, for the
// account's row, so that it never misses a write being recorded on another connection. The
// transaction that holds the row is the one the reservation's row commits with.
static void holdForReservation(ServerContext &ctx, qint64 holderId, std::optional<Transaction> &tx)
{
    if (ctx.db.isPostgres()) {
        tx.emplace(ctx.db);
        holdAccount(ctx, holderId);
    }
}

bool QuotaReservation::grow(qint64 total, bool exactly)
{
    if (total <= m_bytes)
        return true;
    std::optional<Transaction> tx;
    holdForReservation(m_ctx, m_holder, tx);
    std::lock_guard lock(m_ctx.db.mutex());
    const qint64 bytesBefore = m_bytes;
    const qint64 rowBefore = m_rowId;
    const qint64 generous = qMax(total, m_bytes + GrowStep);
    const bool taken = (!exactly && take(generous - m_bytes)) || take(total - m_bytes);
    if (!taken || !tx || tx->commit())
        return taken;
    // Nothing of it was written: other instances never saw it.
    m_bytes = bytesBefore;
    m_rowId = rowBefore;
    return false;
}

bool QuotaReservation::ensure(qint64 total)
{
    return grow(total, false);
}

bool QuotaReservation::ensureExactly(qint64 total)
{
    return grow(total, true);
}

void QuotaReservation::release()
{
    shrink(m_bytes);
}

void QuotaReservation::shrink(qint64 amount)
{
    std::lock_guard lock(m_ctx.db.mutex());
    amount = qMin<qint64>(amount, m_bytes);
    if (amount <= 0)
        return;
    m_bytes -= amount;
    if (m_rowId == 0)
        return;
    if (m_bytes == 0) {
        m_ctx.db.exec("DELETE FROM quota_reservations WHERE id = ?1", {m_rowId});
        m_rowId = 0;
    } else {
        m_ctx.db.exec("UPDATE quota_reservations SET bytes = bytes - ?2 WHERE id = ?1 AND bytes >= ?2",
                      {m_rowId, amount});
    }
}

} // namespace tvr::server
