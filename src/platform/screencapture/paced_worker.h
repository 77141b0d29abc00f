#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace corvex::screencapture {

/// A thread that calls a function at a fixed pace (on the monotonic clock,
/// without drift) until the function returns false or the worker is stopped.
/// Ticks that fall behind are skipped, not bunched up.
class PacedWorker final {
public:
    PacedWorker() = default;
    ~PacedWorker() { stop(); }
    PacedWorker(const PacedWorker&) = delete;
    PacedWorker& operator=(const PacedWorker&) = delete;

    void start(const std::string& name, std::int64_t intervalNanoseconds, std::function<bool()> tick);
    /// Asks the thread to end and joins it. Never call it from the tick itself.
    void stop();

private:
    void run(std::int64_t intervalNanoseconds, std::function<bool()> tick);

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace corvex::screencapture
