#include "platform/screencapture/serial_queue.h"

#include <pthread.h>

namespace corvex::screencapture {

SerialQueue::SerialQueue(std::string label)
    : m_label(std::move(label))
    , m_thread([this] { run(); })
{
    // Thread names are limited to 15 characters; keep the end, which names the role.
    const std::string name = m_label.size() > 15 ? m_label.substr(m_label.size() - 15) : m_label;
    pthread_setname_np(m_thread.native_handle(), name.c_str());
}

SerialQueue::~SerialQueue()
{
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

void SerialQueue::async(std::function<void()> task)
{
    {
        std::lock_guard lock(m_mutex);
        m_tasks.push_back(std::move(task));
    }
    m_wake.notify_one();
}

void SerialQueue::waitUntilIdle()
{
    std::unique_lock lock(m_mutex);
    m_idle.wait(lock, [this] { return m_tasks.empty() && !m_running; });
}

void SerialQueue::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_quit || !m_tasks.empty(); });
        if (m_tasks.empty()) // quitting with nothing left to do
            break;
        std::function<void()> task = std::move(m_tasks.front());
        m_tasks.pop_front();
        m_running = true;
        lock.unlock();
        task();
        task = nullptr; // release what the task held before reporting idle
        lock.lock();
        m_running = false;
        if (m_tasks.empty())
            m_idle.notify_all();
    }
    m_idle.notify_all();
}

} // namespace corvex::screencapture
