#pragma once

#include <QtGlobal>

namespace tvr::server {

struct ServerContext;

// The demo account's share of teams, notifications, capacity and updates, so that every page
// of the client has something real to show. Each runs once per data folder (see Area).
class DemoExtras final
{
public:
    // A colleague account, a team the demo user owns (with folders and files) and one it joined.
    static bool seedTeams(ServerContext &ctx, qint64 demoUserId);
    // A file and a folder in the trash, each restorable to where it was deleted from.
    static bool seedTrash(ServerContext &ctx, qint64 demoUserId);
    // The welcome message (when the account has none yet).
    static bool seedNotifications(ServerContext &ctx, qint64 demoUserId);
    // A 100 GB purchase that expires in 5 days (the expiry banner shows) and a lapsed one.
    static bool seedCapacity(ServerContext &ctx, qint64 demoUserId);
    // A newer client release in the update area.
    static bool seedUpdates(ServerContext &ctx, qint64 demoUserId);

    static constexpr char ColleagueUsername[] = "lilei";
    static constexpr char ColleaguePhone[] = "13900139000";
};

} // namespace tvr::server
