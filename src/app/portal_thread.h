#pragma once

#include "platform/screencapture/portal/portal_connection.h"

#include <functional>
#include <mutex>
#include <thread>
#include <utility>

namespace corvex::app {

/// A thread that asks the desktop's portal while the GUI thread goes on (the
/// portal may wait for the author). Destroying it cancels the request the
/// thread waits on, if any, and joins the thread.
class PortalThread {
public:
    PortalThread() = default;
    PortalThread(const PortalThread&) = delete;
    PortalThread& operator=(const PortalThread&) = delete;
    ~PortalThread()
    {
        {
            std::lock_guard lock(m_mutex);
            m_closing = true;
            if (m_connection)
                m_connection->cancel();
        }
        join();
    }

    void start(std::function<void()> body) { m_thread = std::thread(std::move(body)); }
    void join()
    {
        if (m_thread.joinable())
            m_thread.join();
    }

    /// On the thread: the connection a destruction must cancel from now on
    /// (none: no longer). False once the destruction began: the thread then
    /// returns without a word.
    bool use(screencapture::portal::PortalConnection* connection)
    {
        std::lock_guard lock(m_mutex);
        m_connection = m_closing ? nullptr : connection;
        return !m_closing;
    }

private:
    std::thread m_thread;
    std::mutex m_mutex; // guards what follows
    screencapture::portal::PortalConnection* m_connection = nullptr;
    bool m_closing = false;
};

} // namespace corvex::app
