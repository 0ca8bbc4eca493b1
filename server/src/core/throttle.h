#pragma once

#include <QString>
#include <deque>
#include <map>
#include <mutex>

namespace tvr::server {

// Counts events per key (a phone, a client address, a user) in a sliding window, in memory.
// Guessing and flooding routes ask it before they act and record what they did.
class Throttle final
{
public:
    struct Rule
    {
        int limit;         // events allowed within the window
        qint64 windowSecs; // length of the window
    };

    // Seconds until the key may act again under the rule; 0 when it may now.
    qint64 retryAfter(const QString &key, const Rule &rule, qint64 nowSecs);
    void record(const QString &key, qint64 nowSecs);
    // retryAfter() == 0, and then record(); false (nothing recorded) otherwise.
    bool take(const QString &key, const Rule &rule, qint64 nowSecs);
    void clear(const QString &key);

private:
    static constexpr size_t PruneAbove = 10000;
    static constexpr qint64 LongestWindowSecs = 24 * 3600;
    void prune(qint64 nowSecs);

    std::mutex m_mutex;
    std::map<QString, std::deque<qint64>> m_events;
};

} // namespace tvr::server
