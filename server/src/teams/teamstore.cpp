#include "teams/teamstore.h"

#include "accounts/accountstore.h"
#include "core/names.h"
#include "core/servercontext.h"
#include "files/filetree.h"
#include "storage/transaction.h"

#include <QJsonObject>

namespace tvr::server {

std::optional<QString> TeamStore::role(ServerContext &ctx, qint64 teamId, qint64 userId)
{
    const QVariant role =
        ctx.db.scalar("SELECT role FROM team_members WHERE team_id = ?1 AND user_id = ?2", {teamId, userId});
    if (!role.isValid())
        return std::nullopt;
    return role.toString();
}

qint64 TeamStore::ownerOf(ServerContext &ctx, qint64 teamId)
{
    return ctx.db.scalar("SELECT owner_id FROM teams WHERE id = ?1", {teamId}).toLongLong();
}

QString TeamStore::nameOf(ServerContext &ctx, qint64 teamId)
{
    return ctx.db.scalar("SELECT name FROM teams WHERE id = ?1", {teamId}).toString();
}

QJsonArray TeamStore::list(ServerContext &ctx, qint64 userId)
{
    const auto rows = ctx.db.query("SELECT t.id, t.name, m.role, t.owner_id, t.created_at, "
                                   "  (SELECT COUNT(*) FROM team_members c WHERE c.team_id = t.id) "
                                   "FROM team_members m JOIN teams t ON t.id = m.team_id "
                                   "WHERE m.user_id = ?1 ORDER BY t.id",
                                   {userId});
    QJsonArray array;
    for (const QVariantList &r : rows) {
        const qint64 teamId = r.value(0).toLongLong();
        const qint64 ownerId = r.value(3).toLongLong();
        array.append(QJsonObject{{QStringLiteral("id"), teamId},
                                 {QStringLiteral("name"), r.value(1).toString()},
                                 {QStringLiteral("role"), r.value(2).toString()},
                                 {QStringLiteral("owner_id"), ownerId},
                                 {QStringLiteral("owner_name"), AccountStore::displayName(ctx, ownerId)},
                                 {QStringLiteral("created_at"), r.value(4).toString()},
                                 {QStringLiteral("member_count"), r.value(5).toLongLong()},
                                 {QStringLiteral("used_size"), FileTree::teamBytes(ctx, teamId)}});
    }
    return array;
}

QJsonArray TeamStore::members(ServerContext &ctx, qint64 teamId, qint64 viewerId)
{
    const auto rows = ctx.db.query("SELECT user_id, role, joined_at FROM team_members WHERE team_id = ?1 "
                                   "ORDER BY CASE role WHEN 'owner' THEN 0 ELSE 1 END, joined_at, user_id",
                                   {teamId});
    QJsonArray array;
    for (const QVariantList &r : rows) {
        const qint64 memberId = r.value(0).toLongLong();
        const auto info = AccountStore::publicInfo(ctx, memberId, viewerId);
        if (!info)
            continue;
        array.append(QJsonObject{{QStringLiteral("user_id"), memberId},
                                 {QStringLiteral("role"), r.value(1).toString()},
                                 {QStringLiteral("name"), info->name},
                                 {QStringLiteral("username"), info->username},
                                 {QStringLiteral("phone"), info->phone},
                                 {QStringLiteral("joined_at"), r.value(2).toString()}});
    }
    return array;
}

std::optional<QString> TeamStore::cleanName(const QString &name)
{
    const QString clean = Names::normalized(name);
    const qsizetype length = clean.toUcs4().size();
    if (length < 1 || length > MaxNameLength || Names::hasControlCharacters(clean) ||
        Names::hasDeceptiveCharacters(clean))
        return std::nullopt;
    return clean;
}

qint64 TeamStore::create(ServerContext &ctx, qint64 ownerId, const QString &name)
{
    Transaction tx(ctx.db);
    const QString now = ctx.clock.nowText();
    ctx.db.exec("INSERT INTO teams(name, owner_id, created_at) VALUES(?1, ?2, ?3)", {name, ownerId, now});
    const qint64 id = ctx.db.lastInsertId();
    ctx.db.exec("INSERT INTO team_members(team_id, user_id, role, joined_at) VALUES(?1, ?2, 'owner', ?3)",
                {id, ownerId, now});
    return tx.commit() ? id : 0;
}

bool TeamStore::rename(ServerContext &ctx, qint64 teamId, const QString &name)
{
    return ctx.db.exec("UPDATE teams SET name = ?2 WHERE id = ?1", {teamId, name});
}

std::optional<QList<qint64>> TeamStore::dissolve(ServerContext &ctx, qint64 teamId)
{
    Transaction tx(ctx.db);
    QList<qint64> others;
    for (const QVariantList &r :
         ctx.db.query("SELECT user_id FROM team_members WHERE team_id = ?1 AND role <> 'owner'", {teamId}))
        others.append(r.value(0).toLongLong());
    // Every entry goes, blobs released after the commit.
    if (!FileTree::removeTeamEntries(ctx, tx, teamId))
        return std::nullopt;
    ctx.db.exec("DELETE FROM team_members WHERE team_id = ?1", {teamId});
    ctx.db.exec("DELETE FROM teams WHERE id = ?1", {teamId});
    if (!tx.commit())
        return std::nullopt;
    return others;
}

bool TeamStore::addMember(ServerContext &ctx, qint64 teamId, qint64 userId, qint64 inviterId)
{
    Transaction tx(ctx.db);
    ctx.db.exec("INSERT INTO team_members(team_id, user_id, role, joined_at) VALUES(?1, ?2, 'member', ?3)",
                {teamId, userId, ctx.clock.nowText()});
    if (inviterId > 0)
        ctx.db.exec("INSERT INTO team_invitations(team_id, inviter_id, invitee_id, created_secs) "
                    "VALUES(?1, ?2, ?3, ?4)",
                    {teamId, inviterId, userId, ctx.clock.nowSecs()});
    return tx.commit();
}

qint64 TeamStore::invitationWait(ServerContext &ctx, qint64 inviterId, qint64 inviteeId)
{
    const qint64 now = ctx.clock.nowSecs();
    // The oldest of the last N invitations within the window decides when the next may go.
    const auto waitFor = [&](const char *sql, QVariantList values, int limit, qint64 window) -> qint64 {
        values << now - window << limit;
        const auto rows = ctx.db.query(sql, values);
        if (int(rows.size()) < limit)
            return 0;
        return qMax<qint64>(1, rows.back().value(0).toLongLong() + window - now);
    };
    const qint64 byInviter =
        waitFor("SELECT created_secs FROM team_invitations WHERE inviter_id = ?1 AND created_secs > ?2 "
                "ORDER BY created_secs DESC LIMIT ?3",
                {inviterId}, InvitesPerInviterPerHour, 3600);
    // Counted per pair: what one inviter did to an account never holds back anyone else's
    // invitation of it.
    const qint64 byPair = waitFor("SELECT created_secs FROM team_invitations WHERE inviter_id = ?1 AND invitee_id = ?2 "
                                  "AND created_secs > ?3 ORDER BY created_secs DESC LIMIT ?4",
                                  {inviterId, inviteeId}, InvitesPerPairPerDay, 24 * 3600);
    return qMax(byInviter, byPair);
}

bool TeamStore::removeMember(ServerContext &ctx, qint64 teamId, qint64 userId)
{
    Transaction tx(ctx.db);
    ctx.db.exec("DELETE FROM team_members WHERE team_id = ?1 AND user_id = ?2 AND role <> 'owner'", {teamId, userId});
    const bool removed = ctx.db.changes() > 0;
    return tx.commit() && removed;
}

int TeamStore::memberCount(ServerContext &ctx, qint64 teamId)
{
    return ctx.db.scalar("SELECT COUNT(*) FROM team_members WHERE team_id = ?1", {teamId}).toInt();
}

qint64 TeamStore::usedBytes(ServerContext &ctx, qint64 teamId)
{
    return FileTree::teamBytes(ctx, teamId);
}

qint64 TeamStore::ownedTeamsBytes(ServerContext &ctx, qint64 userId)
{
    qint64 total = 0;
    for (const QVariantList &r : ctx.db.query("SELECT id FROM teams WHERE owner_id = ?1", {userId}))
        total += FileTree::teamBytes(ctx, r.value(0).toLongLong());
    return total;
}

std::optional<FileEntry> TeamStore::findReadable(ServerContext &ctx, qint64 userId, qint64 fileId)
{
    if (auto entry = FileTree::findLive(ctx, FileSpace::personal(userId), fileId))
        return entry;
    const auto teamId = FileTree::teamOfEntry(ctx, fileId);
    if (!teamId || !role(ctx, *teamId, userId))
        return std::nullopt;
    return FileTree::findLive(ctx, FileSpace::team(*teamId, userId), fileId);
}

} // namespace tvr::server
