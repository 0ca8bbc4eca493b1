#pragma once

#include "http/httpmessage.h"

#include <QJsonObject>
#include <QtGlobal>

namespace tvr::server {

struct ServerContext;

// One request for the changes below a folder of a space after a cursor.
struct ChangeQuery
{
    qint64 userId = 0;
    qint64 teamId = 0;   // 0: the user's personal space
    qint64 folderId = 0; // 0: the root of the space
    qint64 cursor = 0;
    int limit = 500;

    qint64 space() const { return teamId > 0 ? teamId : -userId; }
};

// A page of the change feed: the rows of the space whose number is above the cursor, in order,
// as the entries they are now (an entry in the trash, removed for good, or no longer below the
// folder counts as deleted), each with its path below the folder.
class ChangePage final
{
public:
    static constexpr int DefaultLimit = 500;
    static constexpr int MaxLimit = 1000;
    // Entries above this depth are taken for a loop and not placed.
    static constexpr int MaxDepth = 4096;

    // Answers the query into `res`: the page in the envelope, or 404 when the team is no longer
    // the user's or the folder no longer a live folder of the space. Returns true when there is
    // nothing newer than the cursor in the space up to the head it saw (stored in *head), so that
    // a poll may wait for a change.
    static bool respond(ServerContext &ctx, const ChangeQuery &query, http::Response &res, qint64 *head = nullptr);

    // The answer for a cursor the feed can no longer continue from.
    static QJsonObject resetPage();
};

} // namespace tvr::server
