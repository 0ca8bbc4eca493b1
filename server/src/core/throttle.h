#pragma once

#include <QString>

namespace tvr::server {

class Database;

// Counts events per key (a phone, a client address, a user) in a sliding window. The events
// are rows in the shared database, so every instance of a cluster counts the same guesses and
// sends. Guessing and flooding routes ask it before they act and record what they did.
class Throttle final
{
public:
    struct Rule
    {
        int limit;         // events allowed within the window
        qint64 windowSecs; // length of the window
    };

    explicit Throttle(Database &db)
        : m_db(db)
    {}

    // Seconds until the key may act again under the rule; 0 when it may now.
    qint64 retryAfter(const QString &key, const Rule &rule, qint64 nowSecs);
    void record(const QString &key, qint64 nowSecs);
    // retryAfter() == 0, and then record(); false (nothing recorded) otherwise. One decision
    // across instances: two racing takers never both get the last place.
    bool take(const QString &key, const Rule &rule, qint64 nowSecs);
    void clear(const QString &key);
    // Forgets events older than the longest window (upkeep).
    void prune(qint64 nowSecs);

private:
    static constexpr qint64 LongestWindowSecs = 24 * 3600;

    Database &m_db;
};

} // namespace tvr::server
