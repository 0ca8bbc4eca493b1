#include "notify/notifications.h"

#include "core/servercontext.h"
#include "storage/transaction.h"

#include <QJsonObject>

namespace tvr::server {

qint64 Notifications::notify(ServerContext &ctx, qint64 userId, const QString &type, const QString &title,
                             const QString &content, const QString &dedupeKey)
{
    Transaction tx(ctx.db);
    if (!dedupeKey.isEmpty() &&
        ctx.db.scalar("SELECT id FROM notifications WHERE user_id = ?1 AND dedupe_key = ?2", {userId, dedupeKey})
            .isValid())
        return 0;
    ctx.db.exec(
        "INSERT INTO notifications(user_id, type, title, content, is_read, created_at, dedupe_key) "
        "VALUES(?1, ?2, ?3, ?4, 0, ?5, ?6)",
        {userId, type, title, content, ctx.clock.nowText(), dedupeKey.isEmpty() ? QVariant() : QVariant(dedupeKey)});
    const qint64 id = ctx.db.lastInsertId();
    return tx.commit() ? id : 0;
}

qint64 Notifications::welcome(ServerContext &ctx, qint64 userId)
{
    const qint64 gb = ctx.config.baseQuota / (1024LL * 1024 * 1024);
    return notify(ctx, userId, QLatin1String(Welcome), QStringLiteral("欢迎使用托尔瓦企业存储"),
                  QStringLiteral("您的账号已开通，赠送 %1GB 基础容量，可随时在个人中心购买扩容。").arg(gb),
                  QStringLiteral("welcome"));
}

QJsonArray Notifications::list(ServerContext &ctx, qint64 userId, int limit)
{
    limit = qBound(1, limit, MaxListLimit);
    const auto rows = ctx.db.query("SELECT id, type, title, content, is_read, created_at FROM notifications "
                                   "WHERE user_id = ?1 ORDER BY id DESC LIMIT ?2",
                                   {userId, limit});
    QJsonArray array;
    for (const QVariantList &r : rows) {
        array.append(QJsonObject{{QStringLiteral("id"), r.value(0).toLongLong()},
                                 {QStringLiteral("type"), r.value(1).toString()},
                                 {QStringLiteral("title"), r.value(2).toString()},
                                 {QStringLiteral("content"), r.value(3).toString()},
                                 {QStringLiteral("is_read"), r.value(4).toInt()},
                                 {QStringLiteral("created_at"), r.value(5).toString()}});
    }
    return array;
}

int Notifications::unreadCount(ServerContext &ctx, qint64 userId)
{
    return ctx.db.scalar("SELECT COUNT(*) FROM notifications WHERE user_id = ?1 AND is_read = 0", {userId}).toInt();
}

bool Notifications::markRead(ServerContext &ctx, qint64 userId, const QList<qint64> &ids)
{
    Transaction tx(ctx.db);
    if (ids.isEmpty()) {
        ctx.db.exec("UPDATE notifications SET is_read = 1 WHERE user_id = ?1 AND is_read = 0", {userId});
    } else {
        for (qint64 id : ids)
            ctx.db.exec("UPDATE notifications SET is_read = 1 WHERE user_id = ?1 AND id = ?2", {userId, id});
    }
    return tx.commit();
}

bool Notifications::remove(ServerContext &ctx, qint64 userId, qint64 id)
{
    Transaction tx(ctx.db);
    ctx.db.exec("DELETE FROM notifications WHERE user_id = ?1 AND id = ?2", {userId, id});
    const bool removed = ctx.db.changes() > 0;
    return tx.commit() && removed;
}

} // namespace tvr::server
