#pragma once

#include <QtGlobal>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>

namespace tvr::server {

struct ServerContext;

// Polls of the change feed that wait for a change. A waiting poll holds no worker thread: it is
// a callback kept here until its space changes or its time is up. One thread watches them all:
// it is woken at once by changes committed in this process, and besides reads the feed's head
// every RecheckMs, so that changes written by another server on the same database are seen too.
// Waits are capped per user and in all; over a cap the caller answers at once.
class ChangeFeed final
{
public:
    static constexpr int MaxWaitsPerUser = 8;
    static constexpr int MaxWaits = 4096;
    static constexpr int RecheckMs = 1000;

    // Called once, on the feed's thread (or the caller's when refused), to send the answer.
    using Answer = std::function<void()>;

    explicit ChangeFeed(ServerContext &ctx);
    ~ChangeFeed();
    ChangeFeed(const ChangeFeed &) = delete;
    ChangeFeed &operator=(const ChangeFeed &) = delete;

    // Whether the user may start one more wait now (a hint: park() decides).
    bool hasRoom(qint64 userId) const;
    // Waits for a change in `space` after `cursor` (the caller has seen nothing newer up to
    // `seenHead`), at most `seconds`; then `answer` runs. False, without running it, when a cap
    // is reached or the feed has stopped.
    bool park(qint64 userId, qint64 space, qint64 cursor, qint64 seenHead, int seconds, Answer answer);
    // A change was committed in this process.
    void poke();
    // Answers every waiting poll now and refuses new ones (the server is going down).
    void stop();
    int waiting() const;

private:
    using SteadyClock = std::chrono::steady_clock;
    struct Wait
    {
        qint64 userId = 0;
        qint64 space = 0;
        qint64 cursor = 0;
        qint64 seenHead = 0; // nothing of the space changed up to here
        SteadyClock::time_point deadline;
        Answer answer;
    };

    void run();
    void release(std::unique_lock<std::mutex> &lock, std::vector<Answer> &due);

    ServerContext &m_ctx;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::map<quint64, Wait> m_waits; // by ticket
    std::unordered_map<qint64, int> m_perUser;
    quint64 m_nextTicket = 1;
    bool m_poked = false;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace tvr::server
