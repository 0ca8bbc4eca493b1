#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

namespace tvr::server {

struct CapacityPlan;
struct ServerContext;

// Capacity bought on top of the base quota. Every purchase is one record with its own start
// and expiry; it adds to the storage limit from payment until it expires (or is refunded).
class CapacityStore final
{
public:
    static constexpr qint64 BytesPerGb = 1024LL * 1024 * 1024;
    // Purchases expiring within this many days are announced (alert and notification).
    static constexpr int ExpiringWithinDays = 7;

    // Bytes of capacity in force now.
    static qint64 purchasedBytes(ServerContext &ctx, qint64 userId);
    // Inside the caller's transaction: the record for a paid order; returns its id or 0.
    static qint64 addRecord(ServerContext &ctx, qint64 userId, const QString &orderNo, const CapacityPlan &plan,
                            const QString &paidAt);
    // Every purchase, newest first: id, order_no, plan_id, plan_name, capacity_gb, amount_fen,
    // duration_days, start_at, paid_at, created_at, expire_at, status ("active", "expired",
    // "refunded").
    static QJsonArray records(ServerContext &ctx, qint64 userId);
    // The purchase of an order was paid back (its capacity no longer counts).
    static bool markRefunded(ServerContext &ctx, const QString &orderNo);
    // expiredOver, overBytes, expiring (capacity_gb, expire_at, days, plan_name, order_no;
    // soonest first).
    static QJsonObject expiryAlert(ServerContext &ctx, qint64 userId);
    // Leaves one notification per purchase that will expire within ExpiringWithinDays.
    static void notifyExpiring(ServerContext &ctx);
    // Whole days left until expireAt, rounded up; 0 when it has passed.
    static int daysLeft(ServerContext &ctx, const QString &expireAt);
};

} // namespace tvr::server
