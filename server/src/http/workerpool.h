#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tvr::server {

// A fixed set of threads running queued jobs in order of arrival. Jobs may block (database,
// disk); the queue itself has no bound, the callers bound what they put into it.
class WorkerPool final
{
public:
    WorkerPool(int threads, std::string name);
    ~WorkerPool(); // finishes the queued jobs, then joins
    WorkerPool(const WorkerPool &) = delete;
    WorkerPool &operator=(const WorkerPool &) = delete;

    void post(std::function<void()> job);
    int threads() const { return int(m_threads.size()); }

private:
    void run();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_jobs;
    std::vector<std::thread> m_threads;
    std::string m_name;
    bool m_stopping = false;
};

} // namespace tvr::server
