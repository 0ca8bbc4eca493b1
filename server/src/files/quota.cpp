#include "files/quota.h"

#include "accounts/accountstore.h"
#include "billing/capacitystore.h"
#include "core/servercontext.h"
#include "files/filetree.h"
#include "teams/teamstore.h"
#include "vault/vaultstore.h"

namespace tvr::server {

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
    const auto it = ctx.reservations.bytes.find(userId);
    return it == ctx.reservations.bytes.end() ? 0 : it->second;
}

qint64 Quota::room(ServerContext &ctx, qint64 userId)
{
    std::lock_guard lock(ctx.db.mutex());
    return qMax<qint64>(0, limit(ctx, userId) - used(ctx, userId) - reserved(ctx, userId));
}

bool Quota::fits(ServerContext &ctx, qint64 userId, qint64 extra)
{
    // Compared against what is left, never added to what is used: a huge size cannot wrap.
    return extra >= 0 && extra <= room(ctx, userId);
}

qint64 Quota::holder(ServerContext &ctx, const FileSpace &space)
{
    return space.teamId == 0 ? space.userId : TeamStore::ownerOf(ctx, space.teamId);
}

QuotaReservation::QuotaReservation(ServerContext &ctx, qint64 holderId)
    : m_ctx(ctx)
    , m_holder(holderId)
{}

QuotaReservation::~QuotaReservation()
{
    release();
}

bool QuotaReservation::take(qint64 extra)
{
    if (!Quota::fits(m_ctx, m_holder, extra))
        return false;
    m_ctx.reservations.bytes[m_holder] += extra;
    m_bytes += extra;
    return true;
}

bool QuotaReservation::ensure(qint64 total)
{
    if (total <= m_bytes)
        return true;
    std::lock_guard lock(m_ctx.db.mutex());
    const qint64 generous = qMax(total, m_bytes + GrowStep);
    return take(generous - m_bytes) || take(total - m_bytes);
}

bool QuotaReservation::ensureExactly(qint64 total)
{
    if (total <= m_bytes)
        return true;
    std::lock_guard lock(m_ctx.db.mutex());
    return take(total - m_bytes);
}

void QuotaReservation::release()
{
    if (m_bytes == 0)
        return;
    std::lock_guard lock(m_ctx.db.mutex());
    auto it = m_ctx.reservations.bytes.find(m_holder);
    if (it != m_ctx.reservations.bytes.end()) {
        it->second -= m_bytes;
        if (it->second <= 0)
            m_ctx.reservations.bytes.erase(it);
    }
    m_bytes = 0;
}

} // namespace tvr::server
