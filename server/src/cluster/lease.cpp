#include "cluster/lease.h"

#include "cluster/clustermembers.h"
#include "storage/database.h"
#include "storage/transaction.h"

namespace tvr::server {

bool Lease::take(Database &db, const QString &name, const QString &holder, qint64 nowSecs, qint64 forSecs)
{
    bool won = false;
    const bool committed = db.transact([&] {
        Transaction tx(db);
        db.exec("INSERT INTO leases(name, holder, until_secs) VALUES(?1, '', 0) ON CONFLICT (name) DO NOTHING", {name});
        // The row is there now; whoever changes it wins, the other sees no change.
        db.exec("UPDATE leases SET holder = ?2, until_secs = ?3 WHERE name = ?1 AND (until_secs < ?4 OR holder = ?2 "
                "OR holder NOT IN (SELECT id FROM cluster_members WHERE seen_secs >= ?5))",
                {name, holder, nowSecs + forSecs, nowSecs, ClusterMembers::aliveSince()});
        won = db.changes() == 1;
        return tx.commit();
    });
    return committed && won;
}

void Lease::release(Database &db, const QString &name, const QString &holder)
{
    // The row goes: leases named for one piece of work (a merge) would otherwise pile up.
    db.exec("DELETE FROM leases WHERE name = ?1 AND holder = ?2", {name, holder});
}

} // namespace tvr::server
