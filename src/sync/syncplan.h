#pragma once

#include "sync/syncaction.h"

#include <QList>
#include <QStringList>

// What one round of a pair should do, in the order it should be done.
struct SyncPlan
{
    QList<SyncAction> actions;
    // Files the plan would delete on either side (those inside a deleted folder included).
    int deletedFiles = 0;
    // Files the journal knows: the base of the mass-delete guard.
    int knownFiles = 0;
    // Too many deletes at once: the pair pauses and asks before any of them runs.
    bool needsConfirmation = false;
    // Local paths still being written, left for a later round.
    QStringList waiting;
};
