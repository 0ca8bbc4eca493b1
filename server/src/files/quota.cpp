#include "files/quota.h"

#include "accounts/accountstore.h"
#include "billing/capacitystore.h"
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
    const auto it = ctx.reservations->bytes.find(userId);
    const qint64 writes = it == ctx.reservations->bytes.end() ? 0 : it->second;
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
}

void QuotaReservation::revoke()
{
    m_revoked = true;
    release();
}

bool QuotaReservation::take(qint64 extra)
{
    if (m_revoked || !Quota::fits(m_ctx, m_holder, extra))
        return false;
    m_ctx.reservations->bytes[m_holder] += extra;
    m_bytes += extra;
    return true;
}

// With a pool of connections (PostgreSQL) a reservation waits, like every check, for the
// account's row, so that it never misses a write being recorded on another connection.
static void holdForReservation(ServerContext &ctx, qint64 holderId, std::optional<Transaction> &tx)
{
    if (ctx.db.isPostgres()) {
        tx.emplace(ctx.db);
        holdAccount(ctx, holderId);
    }
}

bool QuotaReservation::ensure(qint64 total)
{
    if (total <= m_bytes)
        return true;
    std::optional<Transaction> tx;
    holdForReservation(m_ctx, m_holder, tx);
    std::lock_guard lock(m_ctx.db.mutex());
    const qint64 generous = qMax(total, m_bytes + GrowStep);
    return take(generous - m_bytes) || take(total - m_bytes);
}

bool QuotaReservation::ensureExactly(qint64 total)
{
    if (total <= m_bytes)
        return true;
    std::optional<Transaction> tx;
    holdForReservation(m_ctx, m_holder, tx);
    std::lock_guard lock(m_ctx.db.mutex());
    return take(total - m_bytes);
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
    auto it = m_ctx.reservations->bytes.find(m_holder);
    if (it != m_ctx.reservations->bytes.end()) {
        it->second -= amount;
        if (it->second <= 0)
            m_ctx.reservations->bytes.erase(it);
    }
    m_bytes -= amount;
}

} // namespace tvr::server
