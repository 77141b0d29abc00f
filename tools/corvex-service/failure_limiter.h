#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QString>

#include <algorithm>

namespace corvex::reference {

/// Counts failures per key (a client address, an email address) over a
/// sliding window and says how long a key must wait once it had too many.
/// Its memory stays bounded: keys whose failures all left the window are
/// dropped, and beyond `kMaxKeys` the oldest keys go first.
class FailureLimiter final {
public:
    FailureLimiter(int allowed, qint64 windowMs)
        : m_allowed(allowed)
        , m_windowMs(windowMs)
    {
        m_clock.start();
    }

    /// Milliseconds until `key` may try again; 0 when it may now.
    qint64 waitFor(const QString& key)
    {
        const auto found = m_failures.find(key);
        if (found == m_failures.end())
            return 0;
        forget(*found);
        if (found->size() < m_allowed)
            return 0;
        return found->at(found->size() - m_allowed) + m_windowMs - m_clock.elapsed();
    }

    void recordFailure(const QString& key)
    {
        if (m_failures.size() >= kMaxKeys)
            prune();
        QList<qint64>& times = m_failures[key];
        forget(times);
        times.append(m_clock.elapsed());
        // Only the last `allowed` failures decide the wait.
        while (times.size() > m_allowed)
            times.removeFirst();
    }

private:
    static constexpr qsizetype kMaxKeys = 100'000;

    void forget(QList<qint64>& times) const
    {
        const qint64 horizon = m_clock.elapsed() - m_windowMs;
        while (!times.isEmpty() && times.first() <= horizon)
            times.removeFirst();
    }

    void prune()
    {
        for (auto it = m_failures.begin(); it != m_failures.end();) {
            forget(*it);
            it = it->isEmpty() ? m_failures.erase(it) : std::next(it);
        }
        // Still full under a flood of fresh keys: the quietest half goes.
        if (m_failures.size() >= kMaxKeys) {
            QList<qint64> latest;
            for (const QList<qint64>& times : std::as_const(m_failures))
                latest.append(times.last());
            std::nth_element(latest.begin(), latest.begin() + latest.size() / 2, latest.end());
            const qint64 median = latest.at(latest.size() / 2);
            for (auto it = m_failures.begin(); it != m_failures.end();)
                it = it->last() < median ? m_failures.erase(it) : std::next(it);
        }
    }

    int m_allowed;
    qint64 m_windowMs;
    QElapsedTimer m_clock;
    QHash<QString, QList<qint64>> m_failures;
};

} // namespace corvex::reference
