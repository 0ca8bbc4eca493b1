#include "sync/changefeed.h"

#include "core/servercontext.h"
#include "sync/changelog.h"

#include <algorithm>
#include <vector>

namespace tvr::server {

ChangeFeed::ChangeFeed(ServerContext &ctx)
    : m_ctx(ctx)
{}

ChangeFeed::~ChangeFeed()
{
    stop();
}

bool ChangeFeed::hasRoom(qint64 userId) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_perUser.find(userId);
    return !m_stopping && int(m_waits.size()) < MaxWaits && (it == m_perUser.end() || it->second < MaxWaitsPerUser);
}

bool ChangeFeed::park(qint64 userId, qint64 space, qint64 cursor, qint64 seenHead, int seconds, Answer answer)
{
    std::lock_guard lock(m_mutex);
    int &mine = m_perUser[userId];
    if (m_stopping || int(m_waits.size()) >= MaxWaits || mine >= MaxWaitsPerUser) {
        if (mine == 0)
            m_perUser.erase(userId);
        return false;
    }
    ++mine;
    m_waits.emplace(m_nextTicket++, Wait{userId, space, cursor, seenHead,
                                         SteadyClock::now() + std::chrono::seconds(seconds), std::move(answer)});
    if (!m_thread.joinable())
        m_thread = std::thread([this] { run(); });
    // A change may have landed between the caller's look and now: the watcher checks at once.
    m_poked = true;
    m_wake.notify_all();
    return true;
}

void ChangeFeed::poke()
{
    {
        std::lock_guard lock(m_mutex);
        if (m_waits.empty())
            return;
        m_poked = true;
    }
    m_wake.notify_all();
}

int ChangeFeed::waiting() const
{
    std::lock_guard lock(m_mutex);
    return int(m_waits.size());
}

void ChangeFeed::stop()
{
    std::vector<Answer> due;
    std::thread thread;
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        for (auto &[ticket, wait] : m_waits)
            due.push_back(std::move(wait.answer));
        m_waits.clear();
        m_perUser.clear();
        thread = std::move(m_thread);
    }
    m_wake.notify_all();
    if (thread.joinable())
        thread.join();
    for (Answer &answer : due)
        answer();
}

// The watcher. The database is only read with the feed's lock released: writers wake the
// feed while they still hold the database.
void ChangeFeed::run()
{
    std::unique_lock lock(m_mutex);
    auto lastRead = SteadyClock::now();
    while (!m_stopping) {
        auto until = lastRead + std::chrono::milliseconds(RecheckMs);
        for (const auto &[ticket, wait] : m_waits)
            until = std::min(until, wait.deadline);
        if (m_waits.empty())
            m_wake.wait(lock, [this] { return m_stopping || !m_waits.empty(); });
        else
            m_wake.wait_until(lock, until, [this] { return m_stopping || m_poked; });
        if (m_stopping)
            break;
        const auto now = SteadyClock::now();
        const bool look = m_poked || now >= lastRead + std::chrono::milliseconds(RecheckMs);
        m_poked = false;

        std::vector<quint64> ready;
        for (const auto &[ticket, wait] : m_waits) {
            if (wait.deadline <= now)
                ready.push_back(ticket);
        }
        if (look && !m_waits.empty()) {
            lastRead = now;
            // What to look at, taken under the lock; looked at without it.
            lock.unlock();
            const qint64 head = ChangeLog::head(m_ctx);
            lock.lock();
            std::map<std::pair<qint64, qint64>, bool> changed; // (space, cursor) -> something newer
            for (const auto &[ticket, wait] : m_waits) {
                if (wait.seenHead < head)
                    changed.emplace(std::make_pair(wait.space, wait.cursor), false);
            }
            lock.unlock();
            for (auto &[key, newer] : changed)
                newer = ChangeLog::changedSince(m_ctx, key.first, key.second);
            lock.lock();
            for (auto &[ticket, wait] : m_waits) {
                const auto it = changed.find(std::make_pair(wait.space, wait.cursor));
                if (it == changed.end() || wait.seenHead >= head)
                    continue;
                if (it->second)
                    ready.push_back(ticket);
                else
                    wait.seenHead = head; // nothing here: not looked at again until the head moves
            }
        }
        std::sort(ready.begin(), ready.end());
        ready.erase(std::unique(ready.begin(), ready.end()), ready.end());
        std::vector<Answer> due;
        for (const quint64 ticket : ready) {
            const auto it = m_waits.find(ticket);
            if (it == m_waits.end())
                continue;
            if (--m_perUser[it->second.userId] <= 0)
                m_perUser.erase(it->second.userId);
            due.push_back(std::move(it->second.answer));
            m_waits.erase(it);
        }
        release(lock, due);
    }
}

void ChangeFeed::release(std::unique_lock<std::mutex> &lock, std::vector<Answer> &due)
{
    if (due.empty())
        return;
    lock.unlock();
    for (Answer &answer : due)
        answer();
    lock.lock();
}

} // namespace tvr::server
