// Notifications: each user's list, unread count, marking read and deleting.
#include "core/servercontext.h"
#include "http/auth.h"
#include "http/envelope.h"
#include "notify/notifications.h"
#include "storage/areas.h"

#include <QJsonArray>

namespace tvr::server {

namespace {

void registerNotificationRoutes(http::Router &router, ServerContext &ctx)
{
    router.get("/api/notifications",
               withUser(ctx, [&ctx](const http::Request &req, http::Response &res, const AuthUser &user) {
                   int limit = Notifications::DefaultListLimit;
                   if (req.hasParam("limit")) {
                       bool valid = false;
                       limit = QString::fromStdString(req.param("limit")).toInt(&valid);
                       if (!valid || limit <= 0)
                           return fail(res, 400, QStringLiteral("limit 参数无效"));
                   }
                   ok(res, Notifications::list(ctx, user.id, limit));
               }));

    router.get("/api/notifications/unread-count",
               withUser(ctx, [&ctx](const http::Request &, http::Response &res, const AuthUser &user) {
                   ok(res, QJsonObject{{QStringLiteral("count"), Notifications::unreadCount(ctx, user.id)}});
               }));

    router.post("/api/notifications/read",
                withUser(ctx, [&ctx](const http::Request &req, http::Response &res, const AuthUser &user) {
                    const auto body = jsonBody(req, res);
                    if (!body)
                        return;
                    QList<qint64> ids;
                    if (body->contains(QStringLiteral("ids"))) {
                        const QJsonValue value = body->value(QStringLiteral("ids"));
                        if (!value.isArray())
                            return fail(res, 400, Msg::BadRequest);
                        const QJsonArray array = value.toArray();
                        // An explicit empty list names nothing; only a missing "ids" means all.
                        if (array.isEmpty())
                            return ok(res);
                        for (const QJsonValue &element : array) {
                            if (const auto id = jsonId(element))
                                ids.append(*id);
                        }
                        if (ids.isEmpty())
                            return ok(res);
                    }
                    if (!Notifications::markRead(ctx, user.id, ids))
                        return fail(res, 500, Msg::Internal);
                    ok(res, QJsonObject{{QStringLiteral("unread"), Notifications::unreadCount(ctx, user.id)}});
                }));

    router.del("/api/notifications/([^/]+)",
               withUser(ctx, [&ctx](const http::Request &req, http::Response &res, const AuthUser &user) {
                   const auto id = parseId(QString::fromStdString(req.matches[1]));
                   if (!id || !Notifications::remove(ctx, user.id, *id))
                       return fail(res, 404, QStringLiteral("消息不存在"));
                   ok(res);
               }));
}

} // namespace

Area notificationArea()
{
    Area area{"notifications", {}};
    area.migrations = {
        {1, "CREATE TABLE notifications(id INTEGER PRIMARY KEY AUTOINCREMENT, "
            "  user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE, "
            "  type TEXT NOT NULL, title TEXT NOT NULL, content TEXT NOT NULL, "
            "  is_read INTEGER NOT NULL DEFAULT 0, created_at TEXT NOT NULL, dedupe_key TEXT);"
            "CREATE INDEX notifications_user ON notifications(user_id, id);"
            "CREATE UNIQUE INDEX notifications_dedupe ON notifications(user_id, dedupe_key) "
            "  WHERE dedupe_key IS NOT NULL;"},
    };
    area.registerRoutes = registerNotificationRoutes;
    return area;
}

} // namespace tvr::server
