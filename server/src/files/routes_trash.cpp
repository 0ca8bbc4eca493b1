// The personal trash: list, restore, delete for good (one or a batch), and the 7-day purge.
#include "core/servercontext.h"
#include "files/filetree.h"
#include "http/auth.h"
#include "http/envelope.h"
#include "storage/areas.h"

#include <QJsonArray>

namespace tvr::server {

namespace {

using Operation = FileResult (*)(ServerContext &, const FileSpace &, qint64);

void single(ServerContext &ctx, const http::Request &req, http::Response &res, const AuthUser &user,
            Operation operation)
{
    const auto id = parseId(QString::fromStdString(req.matches[1]));
    if (!id)
        return fail(res, 404, QStringLiteral("回收站中没有该文件"));
    const FileResult result = operation(ctx, FileSpace::personal(user.id), *id);
    if (result.ok())
        ok(res);
    else
        fail(res, result.status, result.message);
}

// A batch applies to every id it can; it fails when none of them could be handled, and reports
// the ids done and failed either way.
void batch(ServerContext &ctx, const http::Request &req, http::Response &res, const AuthUser &user, Operation operation)
{
    const auto body = jsonBody(req, res);
    if (!body)
        return;
    const QJsonValue idsValue = body->value(QStringLiteral("ids"));
    if (!idsValue.isArray() || idsValue.toArray().isEmpty())
        return fail(res, 400, QStringLiteral("请先选择要操作的文件"));
    QJsonArray done;
    QJsonArray failed;
    QString lastError;
    for (const QJsonValue &value : idsValue.toArray()) {
        const auto id = jsonId(value);
        const FileResult result = id ? operation(ctx, FileSpace::personal(user.id), *id)
                                     : FileResult::error(404, QStringLiteral("回收站中没有该文件"));
        if (result.ok()) {
            done.append(*id);
        } else {
            failed.append(value);
            lastError = result.message;
        }
    }
    if (done.isEmpty())
        return fail(res, 404, lastError);
    ok(res, QJsonObject{{QStringLiteral("done"), done}, {QStringLiteral("failed"), failed}});
}

void registerTrashRoutes(http::Router &router, ServerContext &ctx)
{
    router.get("/api/files/trash",
               withUser(ctx, [&ctx](const http::Request &, http::Response &res, const AuthUser &user) {
                   ok(res, FileTree::trashList(ctx, FileSpace::personal(user.id)));
               }));
    router.put("/api/files/([^/]+)/restore",
               withUser(ctx, [&ctx](const http::Request &req, http::Response &res, const AuthUser &user) {
                   single(ctx, req, res, user, &FileTree::restore);
               }));
    router.del("/api/files/([^/]+)/permanent",
               withUser(ctx, [&ctx](const http::Request &req, http::Response &res, const AuthUser &user) {
                   single(ctx, req, res, user, &FileTree::deleteForever);
               }));
    router.post("/api/files/restore/batch",
                withUser(ctx, [&ctx](const http::Request &req, http::Response &res, const AuthUser &user) {
                    batch(ctx, req, res, user, &FileTree::restore);
                }));
    router.post("/api/files/permanent/batch",
                withUser(ctx, [&ctx](const http::Request &req, http::Response &res, const AuthUser &user) {
                    batch(ctx, req, res, user, &FileTree::deleteForever);
                }));
}

void purgeTrash(ServerContext &ctx)
{
    FileTree::purgeExpiredTrash(ctx);
}

} // namespace

Area trashArea()
{
    Area area{"trash", {}};
    area.registerRoutes = registerTrashRoutes;
    area.maintain = purgeTrash;
    return area;
}

} // namespace tvr::server
