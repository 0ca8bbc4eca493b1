#pragma once

#include <QtGlobal>

namespace tvr::server {

// Which tree an operation works in: a user's personal space (teamId 0) or a team's space.
// In a team space, userId is the acting member (recorded as owner of what it creates).
struct FileSpace
{
    qint64 userId = 0;
    qint64 teamId = 0;

    static FileSpace personal(qint64 userId) { return {userId, 0}; }
    static FileSpace team(qint64 teamId, qint64 actingUserId) { return {actingUserId, teamId}; }
};

} // namespace tvr::server
