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

void Backoff::schedule()
{
    if (m_timer.isActive())
        return;
    m_timer.start(m_nextMs);
    Q_EMIT scheduled(m_nextMs);
    m_nextMs = std::min(m_nextMs * 2, m_maximumMs);
}

void Backoff::reset()
{
    m_timer.stop();
    m_nextMs = m_initialMs;
}

} // namespace corvex::app
