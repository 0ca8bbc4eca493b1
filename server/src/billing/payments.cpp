#include "billing/payments.h"

#include "accounts/accountstore.h"
#include "billing/capacityplans.h"
#include "billing/capacitystore.h"
#include "core/servercontext.h"
#include "notify/notifications.h"
#include "storage/clustersettings.h"
#include "storage/transaction.h"

#include <QRandomGenerator>

namespace tvr::server {

namespace {

QString newOrderNo(ServerContext &ctx)
{
    QString digits;
    for (int i = 0; i < 8; ++i)
        digits.append(QChar(u'0' + char16_t(QRandomGenerator::system()->bounded(10))));
    return QStringLiteral("TVR") + ctx.clock.now().toString(QStringLiteral("yyyyMMddHHmmss")) + digits;
}

Payments::Order fromRow(ServerContext &ctx, const QVariantList &r)
{
    Payments::Order order;
    order.orderNo = r.value(0).toString();
    order.userId = r.value(1).toLongLong();
    order.planId = r.value(2).toString();
    order.planName = r.value(3).toString();
    order.amountFen = r.value(4).toInt();
    order.status = r.value(5).toString();
    order.createdAt = r.value(6).toString();
    order.paidAt = r.value(7).toString();
    order.payToken = r.value(8).toString();
    const qint64 createdSecs = r.value(9).toLongLong();
    const bool replaced = !r.value(10).isNull();
    if (order.status == QLatin1String("pending") &&
        (replaced || ctx.clock.nowSecs() - createdSecs > Payments::OrderLifetimeSecs))
        order.status = QStringLiteral("closed");
    return order;
}

#define ORDER_COLUMNS                                                                                                  \
    "order_no, user_id, plan_id, plan_name, amount_fen, status, created_at, paid_at, pay_token, created_secs, "        \
    "closed_secs"

} // namespace

std::optional<Payments::Order> Payments::create(ServerContext &ctx, qint64 userId, const QString &planId,
                                                const QString &replaces, QString *error)
{
    const auto plan = CapacityPlans::find(planId);
    if (!plan) {
        *error = QStringLiteral("套餐不存在");
        return std::nullopt;
    }
    Transaction tx(ctx.db);
    const qint64 now = ctx.clock.nowSecs();
    // A new code for a plan replaces the one shown before: the order it named, or else the
    // user's pending orders of the same plan. Only the latest code can be paid.
    if (!replaces.isEmpty())
        ctx.db.exec("UPDATE payment_orders SET closed_secs = ?3 WHERE order_no = ?1 AND user_id = ?2 "
                    "AND status = 'pending' AND closed_secs IS NULL",
                    {replaces, userId, now});
    else
        ctx.db.exec("UPDATE payment_orders SET closed_secs = ?3 WHERE user_id = ?1 AND plan_id = ?2 "
                    "AND status = 'pending' AND closed_secs IS NULL",
                    {userId, plan->id, now});
    const int pending = ctx.db
                            .scalar("SELECT COUNT(*) FROM payment_orders WHERE user_id = ?1 AND status = 'pending' "
                                    "AND closed_secs IS NULL AND created_secs >= ?2",
                                    {userId, now - OrderLifetimeSecs})
                            .toInt();
    if (pending >= MaxPendingOrders) {
        *error = QStringLiteral("待支付订单过多，请稍后再试");
        return std::nullopt;
    }
    Order order;
    order.orderNo = newOrderNo(ctx);
    order.userId = userId;
    order.planId = plan->id;
    order.planName = plan->name;
    order.amountFen = plan->priceFen;
    order.status = QStringLiteral("pending");
    order.createdAt = ctx.clock.nowText();
    order.payToken = AccountStore::randomHex(16);
    ctx.db.exec(
        "INSERT INTO payment_orders(" ORDER_COLUMNS ") VALUES(?1, ?2, ?3, ?4, ?5, 'pending', ?6, NULL, ?7, ?8, NULL)",
        {order.orderNo, userId, order.planId, order.planName, order.amountFen, order.createdAt, order.payToken, now});
    if (!tx.commit()) {
        *error = QStringLiteral("订单创建失败，请稍后重试");
        return std::nullopt;
    }
    return order;
}

std::optional<Payments::Order> Payments::find(ServerContext &ctx, const QString &orderNo)
{
    const auto rows = ctx.db.query("SELECT " ORDER_COLUMNS " FROM payment_orders WHERE order_no = ?1", {orderNo});
    if (rows.empty())
        return std::nullopt;
    return fromRow(ctx, rows.front());
}

bool Payments::pay(ServerContext &ctx, const QString &orderNo)
{
    Transaction tx(ctx.db);
    const auto order = find(ctx, orderNo);
    if (!order || order->status != QLatin1String("pending"))
        return false;
    const auto plan = CapacityPlans::find(order->planId);
    if (!plan)
        return false;
    const QString paidAt = ctx.clock.nowText();
    ctx.db.exec("UPDATE payment_orders SET status = 'paid', paid_at = ?2 "
                "WHERE order_no = ?1 AND status = 'pending' AND closed_secs IS NULL",
                {orderNo, paidAt});
    if (ctx.db.changes() != 1)
        return false;
    if (CapacityStore::addRecord(ctx, order->userId, orderNo, *plan, paidAt) <= 0)
        return false;
    const auto records = ctx.db.query("SELECT expire_at FROM capacity_records WHERE order_no = ?1", {orderNo});
    const QString expireAt = records.empty() ? QString() : records.front().value(0).toString();
    Notifications::notify(
        ctx, order->userId, QLatin1String(Notifications::CapacityPurchased), QStringLiteral("容量购买成功"),
        QStringLiteral("您购买的「%1」已到账，有效期至 %2。订单号：%3").arg(plan->name, expireAt.left(10), orderNo));
    return tx.commit();
}

void Payments::settleDue(ServerContext &ctx)
{
    if (!ctx.config.dev)
        return;
    // Set by whichever instance was started with --auto-pay, for the whole cluster.
    const qint64 autoPaySecs = ClusterSettings::value(ctx.db, ClusterSettings::AutoPaySecs, -1);
    if (autoPaySecs < 0)
        return;
    const qint64 now = ctx.clock.nowSecs();
    const auto rows = ctx.db.query("SELECT order_no FROM payment_orders WHERE status = 'pending' "
                                   "AND closed_secs IS NULL AND created_secs <= ?1 AND created_secs >= ?2",
                                   {now - autoPaySecs, now - OrderLifetimeSecs});
    for (const QVariantList &r : rows)
        pay(ctx, r.value(0).toString());
}

QJsonObject Payments::toJson(const Order &order)
{
    return QJsonObject{{QStringLiteral("order_no"), order.orderNo},
                       {QStringLiteral("status"), order.status},
                       {QStringLiteral("plan_id"), order.planId},
                       {QStringLiteral("plan_name"), order.planName},
                       {QStringLiteral("amount_fen"), order.amountFen},
                       {QStringLiteral("created_at"), order.createdAt},
                       {QStringLiteral("paid_at"), order.paidAt.isEmpty() ? QJsonValue() : QJsonValue(order.paidAt)}};
}

} // namespace tvr::server
