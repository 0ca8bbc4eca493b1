// Teams: the team list, creating, renaming, dissolving and leaving; members (list, invite,
// remove); and the team's shared files (listing, search, folders, upload, download, delete).
// Every request is checked against the caller's membership; owner-only actions against the role.
#include "accounts/accountstore.h"
#include "core/servercontext.h"
#include "files/blobstore.h"
#include "files/filetree.h"
#include "files/multipartupload.h"
#include "files/quota.h"
#include "http/auth.h"
#include "http/envelope.h"
#include "http/filedownload.h"
#include "notify/notifications.h"
#include "storage/areas.h"
#include "teams/teamstore.h"

namespace tvr::server {

namespace {

const QString NoTeam = QStringLiteral("团队不存在或您不是该团队成员");
// Multipart framing around the files of a form, allowed beyond the room left.
constexpr qint64 FormOverhead = 64 * 1024;

struct TeamAccess
{
    qint64 teamId = 0;
    bool isOwner = false;
};

// The team named in the path and the caller's place in it; answers 404 for a non-member (who
// learns nothing about the team) and returns nothing.
std::optional<TeamAccess> teamOf(ServerContext &ctx, const http::Request &req, http::Response &res,
                                 const AuthUser &user)
{
    const auto teamId = parseId(QString::fromStdString(req.matches[1]));
    const auto role = teamId ? TeamStore::role(ctx, *teamId, user.id) : std::nullopt;
    if (!role) {
        fail(res, 404, NoTeam);
        return std::nullopt;
    }
    return TeamAccess{*teamId, *role == QLatin1String(TeamStore::OwnerRole)};
}

// The team of the path when the caller owns it; otherwise refusal (403) or 404 is answered.
std::optional<TeamAccess> ownedTeamOf(ServerContext &ctx, const http::Request &req, http::Response &res,
                                      const AuthUser &user, const QString &refusal)
{
    auto team = teamOf(ctx, req, res, user);
    if (team && !team->isOwner) {
        fail(res, 403, refusal);
        return std::nullopt;
    }
    return team;
}

std::optional<qint64> folderParam(const QString &text)
{
    if (text.trimmed().isEmpty() || text == QLatin1String("null") || text == QLatin1String("0"))
        return qint64(0);
    return parseId(text);
}

std::optional<qint64> folderValue(const QJsonValue &value)
{
    if (value.isUndefined() || value.isNull())
        return qint64(0);
    if (value.isString())
        return folderParam(value.toString());
    if (value.isDouble() && value.toDouble() == 0)
        return qint64(0);
    return jsonId(value);
}

bool liveFolder(ServerContext &ctx, const FileSpace &space, qint64 id)
{
    if (id == 0)
        return true;
    const auto entry = FileTree::findLive(ctx, space, id);
    return entry && entry->isFolder;
}

using Handler = void (*)(ServerContext &, const http::Request &, http::Response &, const AuthUser &);

http::Handler route(ServerContext &ctx, Handler handler)
{
    return withUser(ctx, [&ctx, handler](const http::Request &req, http::Response &res, const AuthUser &user) {
        handler(ctx, req, res, user);
    });
}

// ---- teams ----

void listTeams(ServerContext &ctx, const http::Request &, http::Response &res, const AuthUser &user)
{
    ok(res, TeamStore::list(ctx, user.id));
}

void createTeam(ServerContext &ctx, const http::Request &req, http::Response &res, const AuthUser &user)
{
    const auto body = jsonBody(req, res);
    if (!body)
        return;
    const auto name = TeamStore::cleanName(jsonString(*body, QStringLiteral("name")));
    if (!name)
        return fail(res, 400, QStringLiteral("团队名称需为 1-50 个字符"));
    const qint64 id = TeamStore::create(ctx, user.id, *name);
    if (id <= 0)
        return fail(res, 500, Msg::Internal);
    ok(res, QJsonObject{{QStringLiteral("id"), id},
                        {QStringLiteral("name"), *name},
                        {QStringLiteral("role"), QLatin1String(TeamStore::OwnerRole)},
                        {QStringLiteral("member_count"), 1},
                        {QStringLiteral("used_size"), 0}});
}

void renameTeam(ServerContext &ctx, const http::Request &req, http::Response &res, const AuthUser &user)
{
    const auto team = ownedTeamOf(ctx, req, res, user, QStringLiteral("只有团队创建者可以重命名团队"));
    if (!team)
        return;
    const auto body = jsonBody(req, res);
    if (!body)
        return;
    const auto name = TeamStore::cleanName(jsonString(*body, QStringLiteral("name")));
    if (!name)
        return fail(res, 400, QStringLiteral("团队名称需为 1-50 个字符"));
    if (!TeamStore::rename(ctx, team->teamId, *name))
        return fail(res, 500, Msg::Internal);
    ok(res, QJsonObject{{QStringLiteral("id"), team->teamId}, {QStringLiteral("name"), *name}});
}

void dissolveTeam(ServerContext &ctx, const http::Request &req, http::Response &res, const AuthUser &user)
{
    const auto team = ownedTeamOf(ctx, req, res, user, QStringLiteral("只有团队创建者可以解散团队"));
    if (!team)
        return;
    const QString name = TeamStore::nameOf(ctx, team->teamId);
    const auto members = TeamStore::dissolve(ctx, team->teamId);
    if (!members)
        return fail(res, 500, QStringLiteral("解散失败，请稍后重试"));
    for (qint64 member : *members) {
        Notifications::notify(ctx, member, QLatin1String(Notifications::TeamDissolved), QStringLiteral("团队已解散"),
                              QStringLiteral("团队「%1」已被创建者解散，团队文件已删除。").arg(name));
    }
    ok(res);
}

void leaveTeam(ServerContext &ctx, const http::Request &req, http::Response &res, const AuthUser &user)
{
    const auto team = teamOf(ctx, req, res, user);
    if (!team)
        return;
    if (team->isOwner)
        return fail(res, 400, QStringLiteral("团队创建者不能退出团队，如不再需要可解散团队"));
    if (!TeamStore::removeMember(ctx, team->teamId, user.id))
        return fail(res, 500, Msg::Internal);
    ok(res);
}

// ---- members ----

void listMembers(ServerContext &ctx, const http::Request &req, http::Response &res, const AuthUser &user)
{
    if (const auto team = teamOf(ctx, req, res, user))
        ok(res, TeamStore::members(ctx, team->teamId, user.id));
}

void inviteMember(ServerContext &ctx, const http::Request &req, http::Response &res, const AuthUser &user)
{
    const auto team = ownedTeamOf(ctx, req, res, user, QStringLiteral("只有团队创建者可以邀请成员"));
    if (!team)
        return;
    const auto body = jsonBody(req, res);
    if (!body)
        return;
    const QString keyword = jsonString(*body, QStringLiteral("keyword")).trimmed();
    if (keyword.isEmpty())
        return fail(res, 400, QStringLiteral("请输入用户名或手机号"));
    auto invitee = AccountStore::userIdByName(ctx, keyword);
    if (!invitee)
        invitee = AccountStore::userIdByPhone(ctx, keyword);
    if (!invitee)
        return fail(res, 404, QStringLiteral("未找到该用户，请确认用户名或手机号"));
    if (TeamStore::role(ctx, team->teamId, *invitee))
        return fail(res, 409, QStringLiteral("该用户已是团队成员"));
    if (TeamStore::memberCount(ctx, team->teamId) >= TeamStore::MaxMembers)
        return fail(res, 400, QStringLiteral("团队成员已达上限"));
    if (TeamStore::invitationWait(ctx, user.id, *invitee) > 0)
        return fail(res, 429, QStringLiteral("邀请过于频繁，请稍后再试"));
    if (!TeamStore::addMember(ctx, team->teamId, *invitee, user.id))
        return fail(res, 500, Msg::Internal);
    const QString teamName = TeamStore::nameOf(ctx, team->teamId);
    Notifications::notify(ctx, *invitee, QLatin1String(Notifications::TeamInvite), QStringLiteral("团队邀请"),
                          QStringLiteral("%1 邀请您加入了团队「%2」，现在可以在团队空间中共享文件。")
                              .arg(AccountStore::displayName(ctx, user.id), teamName));
    ok(res, QJsonObject{{QStringLiteral("user_id"), *invitee}});
}

void removeMember(ServerContext &ctx, const http::Request &req, http::Response &res, const AuthUser &user)
{
    const auto team = ownedTeamOf(ctx, req, res, user, QStringLiteral("只有团队创建者可以移除成员"));
    if (!team)
        return;
    const auto memberId = parseId(QString::fromStdString(req.matches[2]));
    const auto role = memberId ? TeamStore::role(ctx, team->teamId, *memberId) : std::nullopt;
    if (!role)
        return fail(res, 404, QStringLiteral("该用户不是团队成员"));
    if (*role == QLatin1String(TeamStore::OwnerRole))
        return fail(res, 400, QStringLiteral("不能移除团队创建者"));
    if (!TeamStore::removeMember(ctx, team->teamId, *memberId))
        return fail(res, 500, Msg::Internal);
    Quota::endTeamWrites(ctx, team->teamId, *memberId);
    Notifications::notify(ctx, *memberId, QLatin1String(Notifications::TeamRemoved), QStringLiteral("团队成员变更"),
                          QStringLiteral("您已被移出团队「%1」。").arg(TeamStore::nameOf(ctx, team->teamId)));
    ok(res);
}

// ---- team files ----

void listFiles(ServerContext &ctx, const http::Request &req, http::Response &res, const AuthUser &user)
{
    const auto team = teamOf(ctx, req, res, user);
    if (!team)
        return;
    const FileSpace space = FileSpace::team(team->teamId, user.id);
    const auto parent = folderParam(QString::fromStdString(req.param("parent_id")));
    if (!parent || !liveFolder(ctx, space, *parent))
        return fail(res, 404, QStringLiteral("文件夹不存在"));
    okText(res, [&](ChunkedText &out) { FileTree::appendListText(ctx, space, *parent, QString(), out); });
}

void searchFiles(ServerContext &ctx, const http::Request &req, http::Response &res, const AuthUser &user)
{
    if (const auto team = teamOf(ctx, req, res, user))
        ok(res,
           FileTree::search(ctx, FileSpace::team(team->teamId, user.id), QString::fromStdString(req.param("keyword"))));
}

void createFolder(ServerContext &ctx, const http::Request &req, http::Response &res, const AuthUser &user)
{
    const auto team = teamOf(ctx, req, res, user);
    if (!team)
        return;
    const auto body = jsonBody(req, res);
    if (!body)
        return;
    const auto parent = folderValue(body->value(QStringLiteral("parent_id")));
    if (!parent)
        return fail(res, 404, QStringLiteral("目标文件夹不存在"));
    const FileSpace space = FileSpace::team(team->teamId, user.id);
    const FileResult result = FileTree::createFolder(ctx, space, *parent, jsonString(*body, QStringLiteral("name")));
    if (!result.ok())
        return fail(res, result.status, result.message);
    const auto created = FileTree::find(ctx, space, result.id);
    ok(res, created ? QJsonValue(created->toJson()) : QJsonValue(QJsonObject()));
}

void deleteFile(ServerContext &ctx, const http::Request &req, http::Response &res, const AuthUser &user)
{
    const auto team = teamOf(ctx, req, res, user);
    if (!team)
        return;
    const auto id = parseId(QString::fromStdString(req.matches[2]));
    if (!id)
        return fail(res, 404, Msg::NotFound);
    // Team files bypass the trash: a shared deletion is final.
    const FileResult result = FileTree::removeNow(ctx, FileSpace::team(team->teamId, user.id), *id);
    if (!result.ok())
        return fail(res, result.status, result.message);
    ok(res);
}

// Rename and move in a team space, for any member (as creating and deleting are).
void renameFile(ServerContext &ctx, const http::Request &req, http::Response &res, const AuthUser &user)
{
    const auto team = teamOf(ctx, req, res, user);
    if (!team)
        return;
    const auto id = parseId(QString::fromStdString(req.matches[2]));
    if (!id)
        return fail(res, 404, Msg::NotFound);
    const auto body = jsonBody(req, res);
    if (!body)
        return;
    const FileSpace space = FileSpace::team(team->teamId, user.id);
    const FileResult result = FileTree::rename(ctx, space, *id, jsonString(*body, QStringLiteral("name")));
    if (!result.ok())
        return fail(res, result.status, result.message);
    const auto entry = FileTree::find(ctx, space, *id);
    ok(res, entry ? QJsonValue(entry->toJson()) : QJsonValue(QJsonObject()));
}

void moveFile(ServerContext &ctx, const http::Request &req, http::Response &res, const AuthUser &user)
{
    const auto team = teamOf(ctx, req, res, user);
    if (!team)
        return;
    const auto id = parseId(QString::fromStdString(req.matches[2]));
    if (!id)
        return fail(res, 404, Msg::NotFound);
    const auto body = jsonBody(req, res);
    if (!body)
        return;
    const auto target = folderValue(body->value(QStringLiteral("parent_id")));
    if (!target)
        return fail(res, 404, QStringLiteral("目标文件夹不存在"));
    const FileSpace space = FileSpace::team(team->teamId, user.id);
    const FileResult result = FileTree::move(ctx, space, *id, *target);
    if (!result.ok())
        return fail(res, result.status, result.message);
    const auto entry = FileTree::find(ctx, space, *id);
    ok(res, entry ? QJsonValue(entry->toJson()) : QJsonValue(QJsonObject()));
}

void downloadFile(ServerContext &ctx, const http::Request &req, http::Response &res, const AuthUser &user)
{
    const auto team = teamOf(ctx, req, res, user);
    if (!team)
        return;
    const auto id = parseId(QString::fromStdString(req.matches[2]));
    const auto entry = id ? FileTree::findLive(ctx, FileSpace::team(team->teamId, user.id), *id) : std::nullopt;
    if (!entry)
        return fail(res, 404, Msg::NotFound);
    if (entry->isFolder)
        return fail(res, 400, QStringLiteral("文件夹不能直接下载，请使用「打包下载」"));
    FileDownload::serve(req, res, ctx.blobs->pathFor(entry->blobHash), entry->name, entry->mimeType, entry->blobHash);
}

void uploadFiles(ServerContext &ctx, const http::Request &req, http::Response &res, http::BodyReader &reader,
                 const AuthUser &user)
{
    // Refusals leave the body unread; the transport disposes of it.
    const auto team = teamOf(ctx, req, res, user);
    if (!team)
        return;
    if (!req.isMultipart())
        return fail(res, 400, QStringLiteral("请以表单方式上传文件"));
    // Team files count against the owner's quota.
    const qint64 holder = TeamStore::ownerOf(ctx, team->teamId);
    const auto declared = req.contentLength();
    if (declared && !Quota::fits(ctx, holder, qMax<qint64>(0, *declared - FormOverhead)))
        return fail(res, 507, Msg::QuotaExceeded);
    QuotaReservation room(ctx, holder);
    // A member's upload holds the owner's room only as its bytes arrive (a declared length alone
    // would let a member block the owner's storage), and it ends when the member is removed.
    const bool owner = holder == user.id;
    if (!owner)
        room.belongsToTeamWrite(team->teamId, user.id);
    if (declared && owner && !room.ensureExactly(*declared))
        return fail(res, 507, Msg::QuotaExceeded);
    MultipartUpload upload(ctx);
    QString error;
    const bool read = upload.read(req, reader, room, &error);
    if (room.revoked())
        return fail(res, 403, QStringLiteral("您已不是该团队成员，上传已取消"));
    if (!read)
        return fail(res, upload.exceededLimit() ? 507 : 400, upload.exceededLimit() ? Msg::QuotaExceeded : error);
    const FileSpace space = FileSpace::team(team->teamId, user.id);
    const auto parent = folderValue(QJsonValue(upload.field(QStringLiteral("parent_id"))));
    if (!parent || !liveFolder(ctx, space, *parent))
        return fail(res, 404, QStringLiteral("目标文件夹不存在"));
    QJsonArray created;
    const FileResult result = upload.storeAll(space, *parent, QStringLiteral("files"), room, &created);
    if (!result.ok())
        return fail(res, result.status, result.message);
    ok(res, created);
}

void registerTeamRoutes(http::Router &router, ServerContext &ctx)
{
    const std::string team = "/api/teams/([^/]+)";
    router.get("/api/teams", route(ctx, listTeams));
    router.post("/api/teams", route(ctx, createTeam));
    router.put(team, route(ctx, renameTeam));
    router.del(team, route(ctx, dissolveTeam));
    router.post(team + "/leave", route(ctx, leaveTeam));

    router.get(team + "/members", route(ctx, listMembers));
    router.post(team + "/members", route(ctx, inviteMember));
    router.del(team + "/members/([^/]+)", route(ctx, removeMember));

    router.get(team + "/files", route(ctx, listFiles));
    router.get(team + "/files/search", route(ctx, searchFiles));
    router.post(team + "/folders", route(ctx, createFolder));
    router.del(team + "/files/([^/]+)", route(ctx, deleteFile));
    router.put(team + "/files/([^/]+)", route(ctx, renameFile));
    router.put(team + "/files/([^/]+)/move", route(ctx, moveFile));
    router.get(team + "/files/([^/]+)/download", route(ctx, downloadFile));
    router.postStream(team + "/files/upload",
                      withUser(ctx, [&ctx](const http::Request &req, http::Response &res, http::BodyReader &reader,
                                           const AuthUser &user) { uploadFiles(ctx, req, res, reader, user); }),
                      Quota::MaxFileBytes);
}

} // namespace

Area teamArea()
{
    Area area{"teams", {}};
    area.migrations = {
        {1, "CREATE TABLE teams(id INTEGER PRIMARY KEY AUTOINCREMENT, name TEXT NOT NULL, "
            "  owner_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE, created_at TEXT NOT NULL);"
            "CREATE INDEX teams_owner ON teams(owner_id);"
            "CREATE TABLE team_members(team_id INTEGER NOT NULL REFERENCES teams(id) ON DELETE CASCADE, "
            "  user_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE, "
            "  role TEXT NOT NULL CHECK(role IN ('owner', 'member')), joined_at TEXT NOT NULL, "
            "  PRIMARY KEY(team_id, user_id));"
            "CREATE INDEX team_members_user ON team_members(user_id);"},
        // Every invitation, for the limits per inviter and per invitee.
        {2, "CREATE TABLE team_invitations(id INTEGER PRIMARY KEY AUTOINCREMENT, team_id INTEGER NOT NULL, "
            "  inviter_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE, "
            "  invitee_id INTEGER NOT NULL REFERENCES users(id) ON DELETE CASCADE, created_secs INTEGER NOT NULL);"
            "CREATE INDEX team_invitations_inviter ON team_invitations(inviter_id, created_secs);"
            "CREATE INDEX team_invitations_invitee ON team_invitations(invitee_id, created_secs);"},
    };
    area.registerRoutes = registerTeamRoutes;
    return area;
}

} // namespace tvr::server
