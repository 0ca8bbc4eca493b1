#include "core/throttle.h"

namespace tvr::server {

qint64 Throttle::retryAfter(const QString &key, const Rule &rule, qint64 nowSecs)
{
    std::lock_guard lock(m_mutex);
    const auto it = m_events.find(key);
    if (it == m_events.end())
        return 0;
    std::deque<qint64> &events = it->second;
    // Events are recorded in time order (a clock moved back only ever shortens a wait).
    int within = 0;
    for (auto e = events.rbegin(); e != events.rend() && nowSecs - *e < rule.windowSecs; ++e)
        ++within;
    if (within < rule.limit || rule.limit <= 0)
        return rule.limit <= 0 ? rule.windowSecs : 0;
    // The window must slide past the oldest of the last `limit` events.
    const qint64 pivot = events[events.size() - size_t(rule.limit)];
    return qMax<qint64>(1, pivot + rule.windowSecs - nowSecs);
}

void Throttle::record(const QString &key, qint64 nowSecs)
{
    std::lock_guard lock(m_mutex);
    std::deque<qint64> &events = m_events[key];
    events.push_back(nowSecs);
    while (events.size() > 1000 || (!events.empty() && nowSecs - events.front() > LongestWindowSecs))
        events.pop_front();
    if (m_events.size() > PruneAbove)
        prune(nowSecs);
}

bool Throttle::take(const QString &key, const Rule &rule, qint64 nowSecs)
{
    if (retryAfter(key, rule, nowSecs) > 0)
        return false;
    record(key, nowSecs);
    return true;
}

void Throttle::clear(const QString &key)
{
    std::lock_guard lock(m_mutex);
    m_events.erase(key);
}

void Throttle::prune(qint64 nowSecs)
{
    for (auto it = m_events.begin(); it != m_events.end();) {
        if (it->second.empty() || nowSecs - it->second.back() > LongestWindowSecs)
            it = m_events.erase(it);
        else
            ++it;
    }
}

} // namespace tvr::server
