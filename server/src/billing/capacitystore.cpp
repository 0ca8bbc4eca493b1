#include "billing/capacitystore.h"

#include "billing/capacityplans.h"
#include "core/servercontext.h"
#include "files/quota.h"
#include "notify/notifications.h"

#include <QDateTime>

namespace tvr::server {

namespace {

constexpr qint64 DaySecs = 24 * 3600;

// Server times share one fixed-width UTC format, so text comparison orders them.
QString shiftedNow(ServerContext &ctx, qint64 seconds)
{
    return Clock::format(ctx.clock.now().addSecs(seconds));
}

QString capacityText(int gb)
{
    if (gb < 1024)
        return QStringLiteral("%1GB").arg(gb);
    return gb % 1024 == 0 ? QStringLiteral("%1TB").arg(gb / 1024) : QStringLiteral("%1TB").arg(gb / 1024.0, 0, 'f', 1);
}

} // namespace

qint64 CapacityStore::purchasedBytes(ServerContext &ctx, qint64 userId)
{
    const QString now = ctx.clock.nowText();
    const qint64 gb = ctx.db
                          .scalar("SELECT COALESCE(SUM(capacity_gb), 0) FROM capacity_records "
                                  "WHERE user_id = ?1 AND status <> 'refunded' AND start_at <= ?2 AND expire_at > ?2",
                                  {userId, now})
                          .toLongLong();
    return gb * BytesPerGb;
}

qint64 CapacityStore::addRecord(ServerContext &ctx, qint64 userId, const QString &orderNo, const CapacityPlan &plan,
                                const QString &paidAt)
{
    const QDateTime start = QDateTime::fromString(paidAt, Qt::ISODate);
    const QString expire = Clock::format(start.addDays(plan.durationDays));
    if (!ctx.db.exec(
            "INSERT INTO capacity_records(user_id, order_no, plan_id, plan_name, capacity_gb, amount_fen, "
            "duration_days, start_at, expire_at, status, created_at) "
            "VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, 'active', ?8)",
            {userId, orderNo, plan.id, plan.name, plan.capacityGb, plan.priceFen, plan.durationDays, paidAt, expire}))
        return 0;
    return ctx.db.lastInsertId();
}

bool CapacityStore::markRefunded(ServerContext &ctx, const QString &orderNo)
{
    return ctx.db.exec("UPDATE capacity_records SET status = 'refunded' WHERE order_no = ?1", {orderNo});
}

QJsonArray CapacityStore::records(ServerContext &ctx, qint64 userId)
{
    const QString now = ctx.clock.nowText();
    const auto rows = ctx.db.query("SELECT id, order_no, plan_id, plan_name, capacity_gb, amount_fen, duration_days, "
                                   "start_at, expire_at, status, created_at FROM capacity_records "
                                   "WHERE user_id = ?1 ORDER BY start_at DESC, id DESC",
                                   {userId});
    QJsonArray array;
    for (const QVariantList &r : rows) {
        QString status = r.value(9).toString();
        if (status != QLatin1String("refunded"))
            status = r.value(8).toString() > now ? QStringLiteral("active") : QStringLiteral("expired");
        array.append(QJsonObject{{QStringLiteral("id"), r.value(0).toLongLong()},
                                 {QStringLiteral("order_no"), r.value(1).toString()},
                                 {QStringLiteral("plan_id"), r.value(2).toString()},
                                 {QStringLiteral("plan_name"), r.value(3).toString()},
                                 {QStringLiteral("capacity_gb"), r.value(4).toInt()},
                                 {QStringLiteral("amount_fen"), r.value(5).toInt()},
                                 {QStringLiteral("duration_days"), r.value(6).toInt()},
                                 {QStringLiteral("start_at"), r.value(7).toString()},
                                 {QStringLiteral("paid_at"), r.value(7).toString()},
                                 {QStringLiteral("expire_at"), r.value(8).toString()},
                                 {QStringLiteral("status"), status},
                                 {QStringLiteral("created_at"), r.value(10).toString()}});
    }
    return array;
}

int CapacityStore::daysLeft(ServerContext &ctx, const QString &expireAt)
{
    const QDateTime expire = QDateTime::fromString(expireAt, Qt::ISODate);
    const qint64 secs = ctx.clock.now().secsTo(expire);
    if (!expire.isValid() || secs <= 0)
        return 0;
    return int((secs + DaySecs - 1) / DaySecs);
}

QJsonObject CapacityStore::expiryAlert(ServerContext &ctx, qint64 userId)
{
    const QString now = ctx.clock.nowText();
    const QString horizon = shiftedNow(ctx, ExpiringWithinDays * DaySecs);
    const auto rows = ctx.db.query("SELECT capacity_gb, expire_at, plan_name, order_no FROM capacity_records "
                                   "WHERE user_id = ?1 AND status <> 'refunded' AND start_at <= ?2 "
                                   "AND expire_at > ?2 AND expire_at <= ?3 ORDER BY expire_at, id",
                                   {userId, now, horizon});
    QJsonArray expiring;
    for (const QVariantList &r : rows) {
        expiring.append(QJsonObject{{QStringLiteral("capacity_gb"), r.value(0).toInt()},
                                    {QStringLiteral("expire_at"), r.value(1).toString()},
                                    {QStringLiteral("days"), daysLeft(ctx, r.value(1).toString())},
                                    {QStringLiteral("plan_name"), r.value(2).toString()},
                                    {QStringLiteral("order_no"), r.value(3).toString()}});
    }
    // "Expired and over": some purchase has lapsed and what is stored no longer fits.
    const bool anyExpired = ctx.db
                                .scalar("SELECT 1 FROM capacity_records WHERE user_id = ?1 AND status <> 'refunded' "
                                        "AND expire_at <= ?2 LIMIT 1",
                                        {userId, now})
                                .isValid();
    const qint64 over = qMax<qint64>(0, Quota::used(ctx, userId) - Quota::limit(ctx, userId));
    return QJsonObject{{QStringLiteral("expiredOver"), anyExpired && over > 0},
                       {QStringLiteral("overBytes"), over},
                       {QStringLiteral("expiring"), expiring}};
}

void CapacityStore::notifyExpiring(ServerContext &ctx)
{
    const QString now = ctx.clock.nowText();
    const QString horizon = shiftedNow(ctx, ExpiringWithinDays * DaySecs);
    const auto rows = ctx.db.query("SELECT id, user_id, capacity_gb, expire_at, plan_name FROM capacity_records "
                                   "WHERE status <> 'refunded' AND start_at <= ?1 AND expire_at > ?1 "
                                   "AND expire_at <= ?2",
                                   {now, horizon});
    for (const QVariantList &r : rows) {
        const QString expireAt = r.value(3).toString();
        Notifications::notify(
            ctx, r.value(1).toLongLong(), QLatin1String(Notifications::CapacityExpiring),
            QStringLiteral("扩容即将到期"),
            QStringLiteral("您的 %1 扩容（%2）将于 %3 到期，剩余 %4 天，到期后容量将回落，请及时续费。")
                .arg(capacityText(r.value(2).toInt()), r.value(4).toString(), expireAt.left(10))
                .arg(daysLeft(ctx, expireAt)),
            QStringLiteral("capacity_expiring:%1").arg(r.value(0).toLongLong()));
    }
}

} // namespace tvr::server
