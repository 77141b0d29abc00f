#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <optional>

namespace corvex::app {

/// Calls an attempt again after a wait that doubles from `initialMs` up to
/// `maximumMs` while the attempts keep failing; `reset` after a success (or
/// when the author tries by hand) starts again from the shortest wait. A wait
/// the service asked for (Retry-After) is kept to, even beyond the longest.
class Backoff final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Backoff)

public:
    static constexpr int kInitialMs = 2000;
    static constexpr int kMaximumMs = 60000;
    /// The longest Retry-After kept to: a service that asks for more is asked again after this.
    static constexpr std::chrono::milliseconds kLongestRequestedWait = std::chrono::hours(1);

    explicit Backoff(std::function<void()> attempt, QObject* parent = nullptr);

    /// Shortens the waits (tests).
    void setDelays(int initialMs, int maximumMs);
    /// Plans the next attempt after the current wait, which then doubles; no
    /// sooner than `requested` (the service's Retry-After) when given.
    void schedule(std::optional<std::chrono::milliseconds> requested = std::nullopt);
    /// Forgets earlier failures and cancels a planned attempt.
    void reset();

    bool isScheduled() const { return m_timer.isActive(); }
    /// The wait before the planned attempt, in milliseconds.
    int currentDelay() const { return m_timer.interval(); }
    /// What is left of the wait now, never below zero.
    std::chrono::milliseconds remaining() const;

Q_SIGNALS:
    void scheduled(int delayMs);

private:
    std::function<void()> m_attempt;
    QTimer m_timer;
    int m_initialMs = kInitialMs;
    int m_maximumMs = kMaximumMs;
    int m_nextMs = kInitialMs;
    std::chrono::steady_clock::time_point m_dueAt;
};

} // namespace corvex::app
