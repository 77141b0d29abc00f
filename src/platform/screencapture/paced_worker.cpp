#include "platform/screencapture/paced_worker.h"

#include <chrono>
#include <pthread.h>

namespace corvex::screencapture {

void PacedWorker::start(const std::string& name, std::int64_t intervalNanoseconds, std::function<bool()> tick)
{
    stop();
    {
        std::lock_guard lock(m_mutex);
        m_stopping = false;
    }
    m_thread = std::thread([this, intervalNanoseconds, tick = std::move(tick)] { run(intervalNanoseconds, tick); });
    pthread_setname_np(m_thread.native_handle(), name.substr(0, 15).c_str());
}

void PacedWorker::stop()
{
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void PacedWorker::run(std::int64_t intervalNanoseconds, std::function<bool()> tick)
{
    using Clock = std::chrono::steady_clock;
    const auto interval = std::chrono::nanoseconds(intervalNanoseconds > 0 ? intervalNanoseconds : 1);
    auto next = Clock::now();
    for (;;) {
        {
            std::unique_lock lock(m_mutex);
            if (m_wake.wait_until(lock, next, [this] { return m_stopping; }))
                return;
        }
        if (!tick())
            return;
        next += interval;
        const auto now = Clock::now();
        if (next < now) // fell behind: skip the missed ticks
            next += ((now - next) / interval + 1) * interval;
    }
}

} // namespace corvex::screencapture
