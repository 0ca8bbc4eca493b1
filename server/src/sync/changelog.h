#pragma once

#include "files/filespace.h"

#include <QtGlobal>
#include <vector>

namespace tvr::server {

struct ServerContext;

// The sequence numbers of the change feed. Every row of the file tree carries in "seq" the
// number of the last change to it, taken from one server-wide counter inside the transaction
// that makes the change, so numbers are unique, and a reader that sees number N has also seen
// every change numbered below it (the counter row is held until the writer commits). Entries
// removed for good leave a tombstone with their own number for a while.
class ChangeLog final
{
public:
    static constexpr qint64 TombstoneKeepSecs = 30LL * 24 * 3600;

    // The feed's name of a space: the team id, or minus the owner for a personal space (the
    // same expression the "files" indexes use: COALESCE(team_id, -owner_id)).
    static qint64 spaceKey(const FileSpace &space) { return space.teamId > 0 ? space.teamId : -space.userId; }

    // Inside the caller's transaction: reserves `count` consecutive numbers and returns the first
    // (0 on a database error, which also fails the transaction). Waiting polls are woken once
    // the transaction commits.
    static qint64 nextSeq(ServerContext &ctx, qint64 count = 1);
    // Inside the caller's transaction: gives the rows new numbers in the order given (parents
    // before children, so a reader meets a folder before what it holds).
    static bool stamp(ServerContext &ctx, const std::vector<qint64> &ids);
    // Inside the caller's transaction, before the rows go: a tombstone for each, numbered anew.
    static bool bury(ServerContext &ctx, const std::vector<qint64> &ids);

    // The newest number given out (and committed).
    static qint64 head(ServerContext &ctx);
    // Tombstones newer than this have been dropped: older cursors must start again.
    static qint64 prunedUpTo(ServerContext &ctx);
    // Whether anything in the space changed after `cursor`.
    static bool changedSince(ServerContext &ctx, qint64 space, qint64 cursor);
    // Drops tombstones older than TombstoneKeepSecs; returns how many.
    static int pruneTombstones(ServerContext &ctx);
};

} // namespace tvr::server
