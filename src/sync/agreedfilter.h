#pragma once

#include "sync/reconciler.h"

#include <QSet>
#include <QStringList>

class SyncJournal;

// A round's fast path: takes out of the reconciler's input every path on which the disk, the
// server and the journal still agree (same inode, size and modification time on disk as recorded;
// the same server entry at the same place with the same size and content), so that a rescan of a
// large unchanged folder plans over what changed only. Conservative: anything in doubt stays in.
class AgreedFilter final
{
public:
    // input.journal and input.local hold the whole journal and scan; remote is the whole server
    // side by path (left untouched: the executor still needs every folder's id). Removes the
    // agreed paths from input.journal and input.local, fills input.remote with the rest of
    // remote, and counts the agreed files in input.agreedFiles (the mass-delete guard still
    // measures against everything known). Returns how many paths were taken out.
    static qsizetype apply(Reconciler::Input &input, const QHash<QString, RemoteEntry> &remote);
    // The same while the journal is read (input.journal is filled from it): the agreed records
    // are dropped as they come and never all held at once.
    static qsizetype load(Reconciler::Input &input, const SyncJournal &journal,
                          const QHash<QString, RemoteEntry> &remote);
    // Takes out the folders that could not be listed and everything recorded, on disk or on the
    // server under them ("" for the whole pair), wherever it is now: what they hold is unknown
    // this round, not deleted. Returns how many entries were taken out.
    // Recorded entries now on disk at an inode of heldInodes (renamed to a name that cannot be
    // synced) are held the same way, with what is under them.
    static qsizetype holdUnreadable(Reconciler::Input &input, QStringList folders,
                                    const QSet<quint64> &heldInodes = {});
};
