#include "app/backoff.h"

#include <algorithm>

namespace corvex::app {

Backoff::Backoff(std::function<void()> attempt, QObject* parent)
    : QObject(parent)
    , m_attempt(std::move(attempt))
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] { m_attempt(); });
}

void Backoff::setDelays(int initialMs, int maximumMs)
{
    m_initialMs = initialMs;
    m_maximumMs = std::max(initialMs, maximumMs);
    m_nextMs = m_initialMs;
}

void Backoff::schedule(std::optional<std::chrono::milliseconds> requested)
{
    if (m_timer.isActive())
        return;
    int delay = m_nextMs;
    if (requested)
        delay = static_cast<int>(std::max<qint64>(delay, std::min(*requested, kLongestRequestedWait).count()));
    m_dueAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(delay);
    m_timer.start(delay);
    Q_EMIT scheduled(delay);
    m_nextMs = std::min(m_nextMs * 2, m_maximumMs);
}

void Backoff::reset()
{
    m_timer.stop();
    m_nextMs = m_initialMs;
}

std::chrono::milliseconds Backoff::remaining() const
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_dueAt - std::chrono::steady_clock::now());
    return std::max(left, std::chrono::milliseconds(0));
}

} // namespace corvex::app
