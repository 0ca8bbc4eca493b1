// Share links, the maker's side: create a link to a live file or folder of the caller's own
// space or of one of the caller's teams, list the caller's links with their state and counts,
// and cancel them. The recipient's side (the /s/<token> pages) is in routes_sharepage.cpp.
#include "core/servercontext.h"
#include "files/filetree.h"
#include "http/auth.h"
#include "http/envelope.h"
#include "shares/publiclink.h"
#include "shares/sharepage.h"
#include "shares/sharestore.h"
#include "storage/areas.h"
#include "teams/teamstore.h"

#include <QJsonArray>

namespace tvr::server {

namespace {

const QString NoLink = QStringLiteral("分享链接不存在");

QJsonValue nullable(const QString &text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

QJsonObject createdRecord(ServerContext &ctx, const ShareLink &link)
{
    return QJsonObject{{QStringLiteral("id"), link.id},
                       {QStringLiteral("token"), link.token},
                       {QStringLiteral("url"), publicShareUrl(ctx, link.token)},
                       {QStringLiteral("code"), link.code},
                       {QStringLiteral("name"), link.name},
                       {QStringLiteral("isFolder"), link.isFolder},
                       {QStringLiteral("createdAt"), link.createdAt},
                       {QStringLiteral("expiresAt"), nullable(link.expiresAt)},
                       {QStringLiteral("allowDownload"), link.allowDownload}};
}

QJsonObject listedRecord(ServerContext &ctx, const ShareLink &link)
{
    QJsonObject o = createdRecord(ctx, link);
    const auto root = ShareStore::sharedRoot(ctx, link);
    // The entry's name today (it may have been renamed); the name it had when gone.
    if (root)
        o.insert(QStringLiteral("name"), root->name);
    o.insert(QStringLiteral("fileId"), link.fileId);
    o.insert(QStringLiteral("teamId"), link.teamId > 0 ? QJsonValue(link.teamId) : QJsonValue());
    o.insert(QStringLiteral("size"), root ? ShareStore::totalSize(ctx, *root) : 0);
    o.insert(QStringLiteral("views"), link.views);
    o.insert(QStringLiteral("downloads"), link.downloads);
    o.insert(QStringLiteral("state"), ShareStore::stateName(ShareStore::state(ctx, link)));
    return o;
}

void createShare(ServerContext &ctx, const http::Request &req, http::Response &res, const AuthUser &user)
{
    const auto body = jsonBody(req, res);
    if (!body)
        return;
    const auto fileId = jsonId(body->value(QStringLiteral("fileId")));
    const QJsonValue teamValue = body->value(QStringLiteral("teamId"));
    const bool teamGiven = !teamValue.isUndefined() && !teamValue.isNull() && teamValue != QJsonValue(0);
    const auto teamId = teamGiven ? jsonId(teamValue) : std::optional<qint64>(0);
    const QJsonValue days = body->value(QStringLiteral("validDays"));
    const QJsonValue withCode = body->value(QStringLiteral("withCode"));
    const QJsonValue allowDownload = body->value(QStringLiteral("allowDownload"));
    const int validDays = days.isDouble() ? days.toInt(-1) : -1;
    if (!fileId || !teamId || (validDays != 0 && validDays != 1 && validDays != 7 && validDays != 30) ||
        !withCode.isBool() || !allowDownload.isBool())
        return fail(res, 400, Msg::BadRequest);

    std::optional<FileEntry> entry;
    if (*teamId > 0) {
        // Every member may share the team's files, as every member may read and download them.
        if (!TeamStore::role(ctx, *teamId, user.id))
            return fail(res, 404, QStringLiteral("团队不存在或您不是该团队成员"));
        entry = FileTree::findLive(ctx, FileSpace::team(*teamId, user.id), *fileId);
    } else {
        entry = FileTree::findLive(ctx, FileSpace::personal(user.id), *fileId);
    }
    if (!entry)
        return fail(res, 404, Msg::NotFound);
    const auto link = ShareStore::create(ctx, user.id, *entry, validDays, withCode.toBool(), allowDownload.toBool());
    if (!link)
        return fail(res, 500, Msg::Internal);
    ok(res, createdRecord(ctx, *link));
}

void listShares(ServerContext &ctx, const http::Request &, http::Response &res, const AuthUser &user)
{
    QJsonArray links;
    for (const ShareLink &link : ShareStore::listFor(ctx, user.id))
        links.append(listedRecord(ctx, link));
    ok(res, links);
}

void cancelShares(ServerContext &ctx, const http::Request &req, http::Response &res, const AuthUser &user)
{
    const auto body = jsonBody(req, res);
    if (!body)
        return;
    const QJsonValue idsValue = body->value(QStringLiteral("ids"));
    const QJsonArray ids = idsValue.toArray();
    if (!idsValue.isArray() || ids.isEmpty() || ids.size() > ShareStore::MaxCancelIds)
        return fail(res, 400, QStringLiteral("请选择 1-500 个分享链接"));
    QList<qint64> wanted;
    for (const QJsonValue &value : ids) {
        const auto id = jsonId(value);
        if (!id)
            return fail(res, 400, Msg::BadRequest);
        wanted.append(*id);
    }
    bool anyOwned = false;
    const int cancelled = ShareStore::cancel(ctx, user.id, wanted, &anyOwned);
    if (!anyOwned)
        return fail(res, 404, NoLink);
    ok(res, QJsonObject{{QStringLiteral("cancelled"), cancelled}});
}

using Handler = void (*)(ServerContext &, const http::Request &, http::Response &, const AuthUser &);

http::Handler route(ServerContext &ctx, Handler handler)
{
    return withUser(ctx, [&ctx, handler](const http::Request &req, http::Response &res, const AuthUser &user) {
        handler(ctx, req, res, user);
    });
}

void registerShareRoutes(http::Router &router, ServerContext &ctx)
{
    router.post("/api/shares", route(ctx, createShare));
    router.get("/api/shares", route(ctx, listShares));
    router.post("/api/shares/cancel", route(ctx, cancelShares));
    registerSharePageRoutes(router, ctx);
}

} // namespace

Area shareArea()
{
    Area area{"shares",
              {
                  {1, "CREATE TABLE shares("
                      "  id INTEGER PRIMARY KEY AUTOINCREMENT, token TEXT NOT NULL UNIQUE, code TEXT NOT NULL, "
                      "  user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE, "
                      "  file_id INTEGER NOT NULL, team_id INTEGER, name TEXT NOT NULL, "
                      "  is_folder INTEGER NOT NULL, allow_download INTEGER NOT NULL, created_at TEXT NOT NULL, "
                      "  expires_at TEXT, cancelled_at TEXT, "
                      "  views INTEGER NOT NULL DEFAULT 0, downloads INTEGER NOT NULL DEFAULT 0);"
                      "CREATE INDEX shares_user ON shares(user_id, id);"},
              }};
    area.registerRoutes = registerShareRoutes;
    return area;
}

} // namespace tvr::server
