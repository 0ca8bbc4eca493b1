#pragma once

#include <QString>
#include <QtGlobal>

namespace tvr::server {

class Database;

// Switches that must read the same on every instance (the development clock's offset, the
// development auto-pay delay), kept as named integers in the shared database.
class ClusterSettings final
{
public:
    static constexpr const char *ClockOffset = "clock_offset";
    static constexpr const char *AutoPaySecs = "auto_pay_secs";

    // The value, or `fallback` when it was never set (or cannot be read).
    static qint64 value(Database &db, const char *name, qint64 fallback);
    static bool set(Database &db, const char *name, qint64 value);
    // Adds `delta` in one statement, so that two instances adding at once both count.
    static bool add(Database &db, const char *name, qint64 delta);
};

} // namespace tvr::server
