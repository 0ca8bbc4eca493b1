#pragma once

#include "sync/ignorerules.h"
#include "sync/journalentry.h"
#include "sync/localentry.h"
#include "sync/remoteentry.h"
#include "sync/syncplan.h"

#include <QDateTime>
#include <QHash>

// The three-way comparison of a pair: what was agreed (the journal), what is on disk and what is
// on the server, to the plan of actions that brings both sides together again. Pure: no disk, no
// network, no clock (the time for conflict names comes in), so every rule is testable alone.
//
// The rules, in the order they apply:
// - A journal entry is followed to where it is now: on disk by inode (a folder's children move
//   with it), on the server by id. A move on one side becomes the same move on the other; moved
//   on both sides, the server's place wins. Moves on the two sides that together would put a
//   folder inside itself (A into B here, B into A there) are settled the same way: the folders
//   moved locally go back to their server places, on disk only, before any other move.
// - A file replaced on disk under the same size and time (another inode) is uploaded on the
//   condition that its digest differs from the agreed one; otherwise only the record changes.
// - Changed on one side: the change goes to the other. Changed on both (files): a conflict, both
//   kept. Gone on one side and unchanged on the other: deleted there too (to a trash); gone on
//   one side and changed on the other: the change comes back. A folder is deleted only when
//   nothing under it is kept.
// - New on one side: copied to the other. New on both at the same path: compared by digest later
//   (Conflict), or recorded when both are folders.
// - Paths still being written locally wait for a later round; ignored names are left alone, also
//   when the journal knows them.
// - A plan that deletes more than half of the known files, and more than MassDeleteMinimum, needs
//   the user's confirmation first.
class Reconciler final
{
public:
    static constexpr int MassDeleteMinimum = 20;

    struct Input
    {
        QHash<QString, JournalEntry> journal;
        QHash<QString, LocalEntry> local;
        QHash<QString, RemoteEntry> remote; // by path
        IgnoreRules rules;
        QDateTime now; // names the conflict copies
        // Files known and unchanged on both sides that were left out of the three tables above
        // (they still count as known for the mass-delete guard).
        int agreedFiles = 0;
    };

    static SyncPlan plan(const Input &input);
};
