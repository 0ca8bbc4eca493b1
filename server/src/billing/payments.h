#pragma once

#include <QJsonObject>
#include <QString>
#include <optional>

namespace tvr::server {

struct ServerContext;

// Payment orders for capacity plans. An order is "pending" until paid, then "paid"; a pending
// order that nobody pays within OrderLifetimeSecs, or that a newer order replaced, is "closed". Paying creates the
// capacity record and a notification, exactly once. This server has no payment provider: in development mode the
// payment page can confirm an order, and the auto-pay delay pays every order on its own.
class Payments final
{
public:
    static constexpr qint64 OrderLifetimeSecs = 2 * 3600;
    static constexpr int MaxPendingOrders = 20;

    struct Order
    {
        QString orderNo;
        qint64 userId = 0;
        QString planId;
        QString planName;
        int amountFen = 0;
        QString status; // pending, paid, closed
        QString createdAt;
        QString paidAt;
        QString payToken;
    };

    // A new pending order; nothing when the plan is unknown or too many orders are pending
    // (then *error holds the text for the user). It closes the user's pending order `replaces`,
    // or, when that is empty, the user's pending orders of the same plan.
    static std::optional<Order> create(ServerContext &ctx, qint64 userId, const QString &planId,
                                       const QString &replaces, QString *error);
    static std::optional<Order> find(ServerContext &ctx, const QString &orderNo);
    // Marks a pending order paid and grants its capacity; false when it is not pending.
    static bool pay(ServerContext &ctx, const QString &orderNo);
    // Pays the orders whose auto-pay delay has passed (development mode with auto-pay only).
    static void settleDue(ServerContext &ctx);

    // The order as clients read it: order_no, status, plan_id, plan_name, amount_fen,
    // created_at, paid_at.
    static QJsonObject toJson(const Order &order);
};

} // namespace tvr::server
