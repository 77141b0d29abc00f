#pragma once

#include "service_database.h"

#include "platform/result.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace corvex::reference {

/// Threads that do the service's database work, each with a connection of
/// its own, so that a slow statement holds up only the request it serves
/// and never the threads that read requests and write answers.
class DatabaseWorkers final {
public:
    using Job = std::function<void(ServiceDatabase&)>;
    using Opener = std::function<Result<void>(ServiceDatabase&)>;

    /// At most `maxQueued` jobs wait for a free connection; more are refused.
    explicit DatabaseWorkers(std::size_t maxQueued = 512)
        : m_maxQueued(maxQueued)
    {
    }
    ~DatabaseWorkers() { stop(); }
    DatabaseWorkers(const DatabaseWorkers&) = delete;
    DatabaseWorkers& operator=(const DatabaseWorkers&) = delete;

    /// Starts `count` threads, each opening its connection with `open`; the
    /// first failure, after which none runs.
    Result<void> start(int count, const Opener& open);
    /// Queues `job` for the next free connection; false when too many wait.
    bool post(Job job);
    /// Lets the jobs under way finish, drops the waiting ones, and joins.
    void stop();

private:
    void work(ServiceDatabase& database);

    const std::size_t m_maxQueued;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_jobs;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};

} // namespace corvex::reference
