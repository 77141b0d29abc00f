#include "app/outbox_retry.h"

#include "service/session.h"

#include <QPointer>
#include <QTimer>

namespace corvex::app {

OutboxRetry::OutboxRetry(service::Session& manager, UploadQueue& uploads, QObject* parent)
    : QObject(parent)
    , m_manager(manager)
    , m_uploads(uploads)
    , m_backoff([this] { attempt(); })
{
    m_backoff.setDelays(kInitialMs, kMaximumMs);
    connect(&m_backoff, &Backoff::scheduled, this, &OutboxRetry::plannedChanged);
    // A signed-in account is the author's, and the service answers: whatever
    // of theirs waits goes now.
    connect(&manager, &service::Session::accountChanged, this, [this] {
        if (m_manager.account())
            attemptSoon();
        else
            m_backoff.reset();
        Q_EMIT plannedChanged();
    });
    connect(&uploads, &UploadQueue::delivered, this, &OutboxRetry::follow);
    if (manager.account())
        attemptSoon();
}

bool OutboxRetry::hasSendable() const
{
    if (!m_manager.account())
        return false;
    for (const service::Outbox::Entry& entry : m_uploads.entries()) {
        if (entry.accountId == m_manager.account()->id && !entry.refusedForGood())
            return true;
    }
    return false;
}

void OutboxRetry::follow(const UploadQueue::Delivered& delivered)
{
    if (m_attempting)
        return; // our own attempts are judged as a whole when they end
    using Delivery = UploadQueue::Delivery;
    if (delivered.delivery == Delivery::Sent) {
        // The service answers again: what waited for it goes now.
        if (m_backoff.isScheduled())
            attemptSoon();
        return;
    }
    // A recording that stays in the outbox after a failure that may pass is tried again later.
    if (delivered.delivery == Delivery::Failed && delivered.error && delivered.error->isTransient()
        && !delivered.pending.entry.id.isEmpty()) {
        m_backoff.schedule(delivered.error->retryAfter);
    }
}

void OutboxRetry::attemptSoon()
{
    m_backoff.reset();
    // After the current event: the account's other followers (the windows) see it first.
    QTimer::singleShot(0, this, [this] { attempt(); });
}

QCoro::Task<> OutboxRetry::attempt()
{
    if (m_attempting || !hasSendable())
        co_return;
    if (m_uploads.isRetryingAll()) {
        // The author's own retry is under way; its failures are followed here too.
        m_backoff.schedule();
        co_return;
    }
    m_attempting = true;
    QPointer<OutboxRetry> self(this);
    const UploadQueue::RetrySummary summary = co_await m_uploads.retryAll(UploadQueue::Asker::Automatic);
    if (!self)
        co_return;
    m_attempting = false;
    if (summary.transient > 0 && m_manager.account())
        m_backoff.schedule(summary.retryAfter);
    else
        m_backoff.reset();
    Q_EMIT plannedChanged();
}

} // namespace corvex::app
