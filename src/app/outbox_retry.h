#pragma once

#include "app/backoff.h"
#include "app/upload_queue.h"

#include <QObject>

#include <QCoroTask>

namespace corvex::service {
class Session;
}

namespace corvex::app {

/// Sends the signed-in author's waiting recordings by itself: at once when
/// the author signs in (or the account comes back with the service), and
/// after a failure that may pass (no answer, a busy or failing service) again
/// and again with growing waits, no sooner than the service asked for, until
/// the service takes them. What the service refused for good, or what waits
/// for another account, is not sent. GUI thread only.
class OutboxRetry final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(OutboxRetry)

public:
    static constexpr int kInitialMs = 5000;
    static constexpr int kMaximumMs = 5 * 60 * 1000;

    OutboxRetry(service::Session& manager, UploadQueue& uploads, QObject* parent = nullptr);

    Backoff& backoff() { return m_backoff; }
    /// Whether a recording of the signed-in author waits that a retry may send.
    bool hasSendable() const;

Q_SIGNALS:
    /// The next attempt was planned or called off.
    void plannedChanged();

private:
    void follow(const UploadQueue::Delivered& delivered);
    void attemptSoon();
    QCoro::Task<> attempt();

    service::Session& m_manager;
    UploadQueue& m_uploads;
    Backoff m_backoff;
    bool m_attempting = false;
};

} // namespace corvex::app
