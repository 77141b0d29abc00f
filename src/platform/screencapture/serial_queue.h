#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace corvex::screencapture {

/// One worker thread running tasks one at a time, in the order they were
/// added. Tasks added from any thread; the destructor runs what is queued and
/// joins the worker, so a task never outlives its queue.
class SerialQueue final {
public:
    explicit SerialQueue(std::string label);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return m_label; }

    void async(std::function<void()> task);
    /// Blocks until every task added before this call has run. Never call it
    /// from a task of the same queue.
    void waitUntilIdle();
    /// Whether the calling thread is this queue's worker.
    bool isCurrent() const { return std::this_thread::get_id() == m_thread.get_id(); }

private:
    void run();

    const std::string m_label;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<std::function<void()>> m_tasks;
    bool m_running = false; // a task is executing
    bool m_quit = false;
    std::thread m_thread;
};

} // namespace corvex::screencapture
