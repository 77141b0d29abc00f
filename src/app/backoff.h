#pragma once

#include <QObject>
#include <QTimer>

#include <functional>

namespace corvex::app {

/// Calls an attempt again after a wait that doubles from `initialMs` up to
/// `maximumMs` while the attempts keep failing; `reset` after a success (or
/// when the author tries by hand) starts again from the shortest wait.
class Backoff final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Backoff)

public:
    static constexpr int kInitialMs = 2000;
    static constexpr int kMaximumMs = 60000;

    explicit Backoff(std::function<void()> attempt, QObject* parent = nullptr);

    /// Shortens the waits (tests).
    void setDelays(int initialMs, int maximumMs);
    /// Plans the next attempt after the current wait, which then doubles.
    void schedule();
    /// Forgets earlier failures and cancels a planned attempt.
    void reset();

    bool isScheduled() const { return m_timer.isActive(); }
    /// The wait before the planned attempt, in milliseconds.
    int currentDelay() const { return m_timer.interval(); }

Q_SIGNALS:
    void scheduled(int delayMs);

private:
    std::function<void()> m_attempt;
    QTimer m_timer;
    int m_initialMs = kInitialMs;
    int m_maximumMs = kMaximumMs;
    int m_nextMs = kInitialMs;
};

} // namespace corvex::app
