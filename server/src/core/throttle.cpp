#include "core/throttle.h"

#include "storage/database.h"
#include "storage/transaction.h"

namespace tvr::server {

qint64 Throttle::retryAfter(const QString &key, const Rule &rule, qint64 nowSecs)
{
    if (rule.limit <= 0)
        return rule.windowSecs;
    // The newest `limit` events within the window; when there are that many, the window must
    // slide past the oldest of them.
    const Database::Rows rows = m_db.query("SELECT at_secs FROM throttle_events WHERE key = ?1 AND at_secs > ?2 "
                                           "ORDER BY at_secs DESC LIMIT ?3",
                                           {key, nowSecs - rule.windowSecs, rule.limit});
    if (int(rows.size()) < rule.limit)
        return 0;
    const qint64 pivot = rows.back().value(0).toLongLong();
    return qMax<qint64>(1, pivot + rule.windowSecs - nowSecs);
}

void Throttle::record(const QString &key, qint64 nowSecs)
{
    m_db.exec("INSERT INTO throttle_events(key, at_secs) VALUES(?1, ?2)", {key, nowSecs});
}

bool Throttle::take(const QString &key, const Rule &rule, qint64 nowSecs)
{
    Transaction tx(m_db);
    if (retryAfter(key, rule, nowSecs) > 0)
        return false;
    record(key, nowSecs);
    return tx.commit();
}

void Throttle::clear(const QString &key)
{
    m_db.exec("DELETE FROM throttle_events WHERE key = ?1", {key});
}

void Throttle::prune(qint64 nowSecs)
{
    m_db.exec("DELETE FROM throttle_events WHERE at_secs < ?1", {nowSecs - LongestWindowSecs});
}

} // namespace tvr::server
