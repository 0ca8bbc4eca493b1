#include "teamstore.h"

#include "filetree.h"
#include "servercontext.h"
#include "transaction.h"

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
    const auto rows =
        ctx.db.query("SELECT t.id, t.name, m.role, t.owner_id, u.name, u.username, t.created_at, "
                     "  (SELECT COUNT(*) FROM team_members c WHERE c.team_id = t.id), "
                     "  (SELECT COALESCE(SUM(f.size), 0) FROM files f WHERE f.team_id = t.id AND f.type <> 'folder') "
                     "FROM team_members m JOIN teams t ON t.id = m.team_id JOIN users u ON u.id = t.owner_id "
                     "WHERE m.user_id = ?1 ORDER BY t.id",
                     {userId});
    QJsonArray array;
    for (const QVariantList &r : rows) {
        const QString ownerName = r.value(4).toString().isEmpty() ? r.value(5).toString() : r.value(4).toString();
        array.append(QJsonObject{{QStringLiteral("id"), r.value(0).toLongLong()},
                                 {QStringLiteral("name"), r.value(1).toString()},
                                 {QStringLiteral("role"), r.value(2).toString()},
                                 {QStringLiteral("owner_id"), r.value(3).toLongLong()},
                                 {QStringLiteral("owner_name"), ownerName},
                                 {QStringLiteral("created_at"), r.value(6).toString()},
                                 {QStringLiteral("member_count"), r.value(7).toLongLong()},
                                 {QStringLiteral("used_size"), r.value(8).toLongLong()}});
    }
    return array;
}

QJsonArray TeamStore::members(ServerContext &ctx, qint64 teamId)
{
    const auto rows = ctx.db.query("SELECT m.user_id, m.role, u.name, u.username, u.phone, m.joined_at "
                                   "FROM team_members m JOIN users u ON u.id = m.user_id WHERE m.team_id = ?1 "
                                   "ORDER BY CASE m.role WHEN 'owner' THEN 0 ELSE 1 END, m.joined_at, m.user_id",
                                   {teamId});
    QJsonArray array;
    for (const QVariantList &r : rows) {
        array.append(QJsonObject{{QStringLiteral("user_id"), r.value(0).toLongLong()},
                                 {QStringLiteral("role"), r.value(1).toString()},
                                 {QStringLiteral("name"), r.value(2).toString()},
                                 {QStringLiteral("username"), r.value(3).toString()},
                                 {QStringLiteral("phone"), r.value(4).toString()},
                                 {QStringLiteral("joined_at"), r.value(5).toString()}});
    }
    return array;
}

std::optional<QString> TeamStore::cleanName(const QString &name)
{
    const QString trimmed = name.trimmed();
    const qsizetype length = trimmed.toUcs4().size();
    if (length < 1 || length > MaxNameLength)
        return std::nullopt;
    for (QChar c : trimmed) {
        if (c.category() == QChar::Other_Control)
            return std::nullopt;
    }
    return trimmed;
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
    const qint64 ownerId = ownerOf(ctx, teamId);
    QList<qint64> others;
    for (const QVariantList &r :
         ctx.db.query("SELECT user_id FROM team_members WHERE team_id = ?1 AND role <> 'owner'", {teamId}))
        others.append(r.value(0).toLongLong());
    // Top-level entries take their subtrees with them (blobs released after the commit).
    const FileSpace space = FileSpace::team(teamId, ownerId);
    for (const QVariantList &r :
         ctx.db.query("SELECT id FROM files WHERE team_id = ?1 AND parent_id IS NULL", {teamId})) {
        if (!FileTree::removeNow(ctx, space, r.value(0).toLongLong()).ok())
            return std::nullopt;
    }
    // Anything left (entries whose folder vanished) goes too.
    if (ctx.db.scalar("SELECT 1 FROM files WHERE team_id = ?1 LIMIT 1", {teamId}).isValid()) {
        for (const QVariantList &r : ctx.db.query("SELECT id FROM files WHERE team_id = ?1", {teamId}))
            FileTree::removeNow(ctx, space, r.value(0).toLongLong());
    }
    ctx.db.exec("DELETE FROM team_members WHERE team_id = ?1", {teamId});
    ctx.db.exec("DELETE FROM teams WHERE id = ?1", {teamId});
    if (!tx.commit())
        return std::nullopt;
    return others;
}

bool TeamStore::addMember(ServerContext &ctx, qint64 teamId, qint64 userId)
{
    return ctx.db.exec("INSERT INTO team_members(team_id, user_id, role, joined_at) VALUES(?1, ?2, 'member', ?3)",
                       {teamId, userId, ctx.clock.nowText()});
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
    return ctx.db.scalar("SELECT COALESCE(SUM(size), 0) FROM files WHERE team_id = ?1 AND type <> 'folder'", {teamId})
        .toLongLong();
}

qint64 TeamStore::ownedTeamsBytes(ServerContext &ctx, qint64 userId)
{
    return ctx.db
        .scalar("SELECT COALESCE(SUM(f.size), 0) FROM files f JOIN teams t ON t.id = f.team_id "
                "WHERE t.owner_id = ?1 AND f.type <> 'folder'",
                {userId})
        .toLongLong();
}

std::optional<FileEntry> TeamStore::findReadable(ServerContext &ctx, qint64 userId, qint64 fileId)
{
    if (auto entry = FileTree::findLive(ctx, FileSpace::personal(userId), fileId))
        return entry;
    const QVariant teamId = ctx.db.scalar("SELECT team_id FROM files WHERE id = ?1 AND team_id IS NOT NULL", {fileId});
    if (!teamId.isValid() || !role(ctx, teamId.toLongLong(), userId))
        return std::nullopt;
    return FileTree::findLive(ctx, FileSpace::team(teamId.toLongLong(), userId), fileId);
}

} // namespace tvr::server
