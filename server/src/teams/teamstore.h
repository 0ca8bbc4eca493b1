#pragma once

#include "files/fileentry.h"
#include "files/filespace.h"

#include <QJsonArray>
#include <QList>
#include <QString>
#include <optional>

namespace tvr::server {

struct ServerContext;

// Teams and their members. A team has one owner (its creator) and members; its files live in
// the shared file tree under the team's id, and their bytes count against the owner's quota.
class TeamStore final
{
public:
    static constexpr int MaxNameLength = 50;
    static constexpr int MaxMembers = 200;

    static constexpr char OwnerRole[] = "owner";
    static constexpr char MemberRole[] = "member";

    // The caller's role in the team ("owner" or "member"), or nothing for a non-member or a
    // team that does not exist.
    static std::optional<QString> role(ServerContext &ctx, qint64 teamId, qint64 userId);
    static qint64 ownerOf(ServerContext &ctx, qint64 teamId);
    static QString nameOf(ServerContext &ctx, qint64 teamId);

    // The user's teams, oldest first: id, name, role, member_count, used_size, owner_id,
    // owner_name, created_at.
    static QJsonArray list(ServerContext &ctx, qint64 userId);
    // The members as `viewerId` sees them: other members' phones masked ("138****8000"), the
    // viewer's own in full.
    static QJsonArray members(ServerContext &ctx, qint64 teamId, qint64 viewerId);

    // The name trimmed and in NFC, 1 to MaxNameLength characters without control characters or
    // characters that disguise it (Names), or nothing.
    static std::optional<QString> cleanName(const QString &name);
    static qint64 create(ServerContext &ctx, qint64 ownerId, const QString &name);
    static bool rename(ServerContext &ctx, qint64 teamId, const QString &name);
    // Deletes the team's files, memberships and the team itself in one transaction; the
    // members other than the owner are returned (to be told).
    static std::optional<QList<qint64>> dissolve(ServerContext &ctx, qint64 teamId);
    // Adds a member; with an inviter, the invitation is recorded for the throttle below.
    static bool addMember(ServerContext &ctx, qint64 teamId, qint64 userId, qint64 inviterId = 0);
    // Invitations are limited per inviter and per (inviter, invitee), so nobody can flood an
    // account with teams, nor use up what others may invite it to: 0 when this one may go now,
    // else the seconds to wait.
    static qint64 invitationWait(ServerContext &ctx, qint64 inviterId, qint64 inviteeId);
    static constexpr int InvitesPerInviterPerHour = 20;
    static constexpr int InvitesPerPairPerDay = 5;
    static bool removeMember(ServerContext &ctx, qint64 teamId, qint64 userId);
    static int memberCount(ServerContext &ctx, qint64 teamId);

    static qint64 usedBytes(ServerContext &ctx, qint64 teamId);
    // Bytes of every team the user owns (they count against the user's quota).
    static qint64 ownedTeamsBytes(ServerContext &ctx, qint64 userId);

    // A live entry the user may read: one of their own files, or a file of a team they belong
    // to (team pages pack-download through the personal endpoint).
    static std::optional<FileEntry> findReadable(ServerContext &ctx, qint64 userId, qint64 fileId);
};

} // namespace tvr::server
