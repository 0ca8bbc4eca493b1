#include "http/workerpool.h"

#include <pthread.h>

namespace tvr::server {

WorkerPool::WorkerPool(int threads, std::string name)
    : m_name(std::move(name))
{
    for (int i = 0; i < threads; ++i) {
        m_threads.emplace_back([this] { run(); });
        pthread_setname_np(m_threads.back().native_handle(), m_name.substr(0, 15).c_str());
    }
}

WorkerPool::~WorkerPool()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    for (std::thread &thread : m_threads)
        thread.join();
}

void WorkerPool::post(std::function<void()> job)
{
    {
        std::lock_guard lock(m_mutex);
        m_jobs.push_back(std::move(job));
    }
    m_wake.notify_one();
}

void WorkerPool::run()
{
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
            if (m_jobs.empty())
                return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        job();
    }
}

} // namespace tvr::server
