#pragma once

#include <QString>
#include <QtGlobal>

namespace tvr::server {

class Database;

// A named right to do work that must run on one instance at a time (upkeep, seeding), held by
// one instance until a time, in a table every instance shares. Taking it is one conditional
// write, so two instances racing for it cannot both win. A lease whose holder is no longer a
// live instance (ClusterMembers) is free at once, so holders must beat before they take one.
// Times are the server clock's seconds.
class Lease final
{
public:
    // Takes (or extends) the lease for `holder` until nowSecs + forSecs; false while another
    // holder's lease runs.
    static bool take(Database &db, const QString &name, const QString &holder, qint64 nowSecs, qint64 forSecs);
    // Gives the lease up at once, if `holder` holds it.
    static void release(Database &db, const QString &name, const QString &holder);
};

} // namespace tvr::server
