#pragma once

#include <QJsonArray>
#include <QList>
#include <QString>
#include <optional>

namespace tvr::server {

struct ServerContext;

// Messages the server leaves for a user when something happens to the account: a welcome,
// team invitations and removals, capacity bought or about to run out. Each user reads and
// manages only their own.
class Notifications final
{
public:
    // Kinds of notification, in the "type" member.
    static constexpr char Welcome[] = "welcome";
    static constexpr char TeamInvite[] = "team_invite";
    static constexpr char TeamRemoved[] = "team_removed";
    static constexpr char TeamDissolved[] = "team_dissolved";
    static constexpr char CapacityPurchased[] = "capacity_purchased";
    static constexpr char CapacityExpiring[] = "capacity_expiring";

    static constexpr int DefaultListLimit = 50;
    static constexpr int MaxListLimit = 200;

    // Adds a notification; safe inside the caller's transaction. A non-empty dedupeKey makes the
    // call a no-op when the user already has a notification with that key. Returns its id, or 0.
    static qint64 notify(ServerContext &ctx, qint64 userId, const QString &type, const QString &title,
                         const QString &content, const QString &dedupeKey = QString());

    // The greeting every new account receives.
    static qint64 welcome(ServerContext &ctx, qint64 userId);

    // Newest first: id, type, title, content, is_read (0/1), created_at.
    static QJsonArray list(ServerContext &ctx, qint64 userId, int limit);
    static int unreadCount(ServerContext &ctx, qint64 userId);
    // Marks the given ids read (ids of other users are ignored); all when ids is empty.
    static bool markRead(ServerContext &ctx, qint64 userId, const QList<qint64> &ids);
    // False when the user has no notification with that id.
    static bool remove(ServerContext &ctx, qint64 userId, qint64 id);
};

} // namespace tvr::server
