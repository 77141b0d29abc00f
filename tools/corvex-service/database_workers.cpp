#include "database_workers.h"

#include <QSqlDatabase>
#include <QString>

#include <future>
#include <tuple>

namespace corvex::reference {

Result<void> DatabaseWorkers::start(int count, const Opener& open)
{
    // Qt's SQL module sets up its table of drivers on first use, without a
    // lock. Threads that each add their first connection at once raced there
    // and left the heap damaged: now and then the service hung as it exited.
    // Set it up here, on this one thread, before the threads start.
    std::ignore = QSqlDatabase::drivers();
    std::vector<std::future<Result<void>>> opened;
    for (int i = 0; i < count; ++i) {
        auto promise = std::make_shared<std::promise<Result<void>>>();
        opened.push_back(promise->get_future());
        m_threads.emplace_back([this, promise, open] {
            ServiceDatabase database;
            const Result<void> result = open(database);
            const bool usable = bool(result);
            promise->set_value(result);
            if (usable)
                work(database);
        });
    }
    Result<void> outcome = Result<void>::success();
    for (auto& result : opened) {
        Result<void> one = result.get();
        if (!one && outcome)
            outcome = one;
    }
    if (!outcome)
        stop();
    return outcome;
}

bool DatabaseWorkers::post(Job job)
{
    {
        const std::lock_guard lock(m_mutex);
        if (m_stopping || m_jobs.size() >= m_maxQueued)
            return false;
        m_jobs.push_back(std::move(job));
    }
    m_wake.notify_one();
    return true;
}

void DatabaseWorkers::stop()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
        m_jobs.clear();
    }
    m_wake.notify_all();
    for (std::thread& thread : m_threads)
        thread.join();
    m_threads.clear();
}

void DatabaseWorkers::work(ServiceDatabase& database)
{
    for (;;) {
        Job job;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
            if (m_stopping)
                return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        job(database);
    }
}

} // namespace corvex::reference
