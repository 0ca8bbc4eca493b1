// The change feed of folder sync: what changed below a folder of a space (personal, or a team
// the caller belongs to) after a cursor, page by page, with a long poll that waits for the next
// change without holding a worker; and the one-step replacement of a synced file.
#include "core/servercontext.h"
#include "files/filetree.h"
#include "http/auth.h"
#include "http/envelope.h"
#include "storage/areas.h"
#include "sync/changefeed.h"
#include "sync/changelog.h"
#include "sync/changepage.h"
#include "teams/teamstore.h"

namespace tvr::server {

namespace {

constexpr int MaxWaitSecs = 25;

// A non-negative decimal number of at most 18 digits (no sign, no spaces); nothing otherwise.
std::optional<qint64> plainNumber(const std::string &text)
{
    if (text.empty() || text.size() > 18)
        return std::nullopt;
    qint64 value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

// A count from the query: absent or empty gives `fallback`; a number is brought within
// [low, high] (however many digits it has); anything else is nothing.
std::optional<qint64> boundedCount(const std::string &text, qint64 fallback, qint64 low, qint64 high)
{
    if (text.empty())
        return fallback;
    if (text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const auto value = plainNumber(text);
    return qBound(low, value.value_or(high), high);
}

void changes(ServerContext &ctx, const http::Request &req, http::Response &res, const AuthUser &user)
{
    ChangeQuery query;
    query.userId = user.id;
    const std::string cursor = req.param("cursor");
    const auto from = cursor.empty() ? std::optional<qint64>(0) : plainNumber(cursor);
    const auto limit = boundedCount(req.param("limit"), ChangePage::DefaultLimit, 1, ChangePage::MaxLimit);
    const auto wait = boundedCount(req.param("wait"), 0, 0, MaxWaitSecs);
    if (!from || !limit || !wait)
        return fail(res, 400, QStringLiteral("同步参数无效"));
    query.cursor = *from;
    query.limit = int(*limit);

    const QString team = QString::fromStdString(req.param("team_id")).trimmed();
    if (!team.isEmpty()) {
        const auto teamId = parseId(team);
        if (!teamId)
            return fail(res, 404, QStringLiteral("团队不存在或您不是该团队成员"));
        query.teamId = *teamId;
    }
    const QString folder = QString::fromStdString(req.param("folder_id")).trimmed();
    if (!folder.isEmpty() && folder != QLatin1String("0") && folder != QLatin1String("null")) {
        const auto folderId = parseId(folder);
        if (!folderId)
            return fail(res, 404, QStringLiteral("同步的文件夹不存在或已被删除"));
        query.folderId = *folderId;
    }

    qint64 head = 0;
    const bool idle = ChangePage::respond(ctx, query, res, &head);
    if (!idle || *wait == 0 || !ctx.feed || !ctx.feed->hasRoom(user.id))
        return;
    // Nothing new yet: the answer waits for a change in the space (or the time) without a worker.
    const int seconds = int(*wait);
    res.clearBody();
    res.deferred = [&ctx, query, head, seconds](http::Response::Reply reply) {
        auto answer = [&ctx, query, reply] {
            http::Response later;
            later.signedIn = true;
            ChangePage::respond(ctx, query, later);
            reply(std::move(later));
        };
        if (!ctx.feed->park(query.userId, query.space(), query.cursor, head, seconds, answer))
            answer();
    };
}

// A new version of a synced file takes the old one's place in one step, so that no other client
// ever plans against both versions side by side, and a refusal leaves the old one as it was.
void replace(ServerContext &ctx, const http::Request &req, http::Response &res, const AuthUser &user)
{
    const auto body = jsonBody(req, res);
    if (!body)
        return;
    FileSpace space = FileSpace::personal(user.id);
    const QJsonValue team = body->value(QStringLiteral("team_id"));
    if (!team.isUndefined() && !team.isNull() && team != QJsonValue(QString())) {
        // Any member, as for renaming and deleting in the team's space.
        const auto teamId = jsonId(team);
        if (!teamId || !TeamStore::role(ctx, *teamId, user.id))
            return fail(res, 404, QStringLiteral("团队不存在或您不是该团队成员"));
        space = FileSpace::team(*teamId, user.id);
    }
    const auto oldId = jsonId(body->value(QStringLiteral("old_id")));
    const auto newId = jsonId(body->value(QStringLiteral("new_id")));
    if (!oldId)
        return fail(res, 404, QStringLiteral("要替换的文件不存在或已被删除"));
    if (!newId)
        return fail(res, 404, QStringLiteral("新版本的文件不存在或已被删除"));
    // As the delete routes do: into the trash in a personal space, for good in a team's.
    const FileResult result = FileTree::replace(ctx, space, *oldId, *newId, space.teamId > 0);
    if (!result.ok())
        return fail(res, result.status, result.message);
    const auto entry = FileTree::find(ctx, space, result.id);
    ok(res, entry ? QJsonValue(entry->toJson()) : QJsonValue(QJsonObject()));
}

void registerSyncRoutes(http::Router &router, ServerContext &ctx)
{
    router.get("/api/sync/changes", withUser(ctx, [&ctx](const http::Request &req, http::Response &res,
                                                         const AuthUser &user) { changes(ctx, req, res, user); }));
    router.post("/api/sync/replace", withUser(ctx, [&ctx](const http::Request &req, http::Response &res,
                                                          const AuthUser &user) { replace(ctx, req, res, user); }));
}

void pruneTombstones(ServerContext &ctx)
{
    ChangeLog::pruneTombstones(ctx);
}

} // namespace

Area syncArea()
{
    Area area{"sync", {}};
    area.migrations = {
        // Every row gets a number; existing rows are numbered by id, and the counter starts
        // after them.
        {1, "ALTER TABLE files ADD COLUMN seq INTEGER NOT NULL DEFAULT 0;"
            "UPDATE files SET seq = id;"
            "CREATE INDEX files_space_seq ON files(COALESCE(team_id, -owner_id), seq);"
            "CREATE TABLE sync_counter(id INTEGER PRIMARY KEY, seq INTEGER NOT NULL, "
            "  pruned INTEGER NOT NULL DEFAULT 0);"
            "INSERT INTO sync_counter(id, seq, pruned) SELECT 1, COALESCE(MAX(id), 0), 0 FROM files;"
            "CREATE TABLE sync_tombstones(id INTEGER PRIMARY KEY, space INTEGER NOT NULL, parent_id INTEGER, "
            "  name TEXT NOT NULL, type TEXT NOT NULL, seq INTEGER NOT NULL, deleted_at TEXT NOT NULL);"
            "CREATE INDEX sync_tombstones_space_seq ON sync_tombstones(space, seq);"
            "CREATE INDEX sync_tombstones_deleted ON sync_tombstones(deleted_at);"},
    };
    area.registerRoutes = registerSyncRoutes;
    area.maintain = pruneTombstones;
    return area;
}

} // namespace tvr::server
