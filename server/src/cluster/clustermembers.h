#pragma once

#include <QString>
#include <QtGlobal>

namespace tvr::server {

struct ServerContext;

// The instances that share the database, each named by a random id for its process's life and
// seen alive by a heartbeat. What an instance holds for work in flight (quota reservations) is
// counted only while that instance is alive, so one killed mid-write gives its room back.
// Liveness is real elapsed time, not the development clock: moving that clock forward must not
// make every instance look dead.
class ClusterMembers final
{
public:
    static constexpr qint64 BeatSecs = 10;
    static constexpr qint64 StaleSecs = 60;

    // Records that this instance is alive now.
    static bool beat(ServerContext &ctx);
    // The heartbeat time from which an instance counts as alive.
    static qint64 aliveSince();
    // True when another live instance shares the database (start-up sweeps must then keep
    // away from files in flight).
    static bool othersAlive(ServerContext &ctx);
    // Forgets instances that stopped beating, and what they held.
    static void forgetStale(ServerContext &ctx);
    // Forgets, at once, instances of this machine (same host and boot) whose process is gone:
    // one restarted after a crash need not wait for its former self's heartbeat to run out.
    static void forgetDeadNeighbours(ServerContext &ctx);
    // Forgets this instance (clean shutdown).
    static void leave(ServerContext &ctx);
    // Forgets one instance and what it held.
    static void forget(ServerContext &ctx, const QString &id);
    // A fresh random id for this process.
    static QString newId();
};

} // namespace tvr::server
