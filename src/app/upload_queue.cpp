#include "app/upload_queue.h"

#include "service/app_manager.h"
#include "service/notifier.h"
#include "service/outbox.h"

namespace corvex::app {

UploadQueue::UploadQueue(service::AppManager& manager, QObject* parent)
    : QObject(parent)
    , m_manager(manager)
{
    m_countTimer.setInterval(3000);
    connect(&m_countTimer, &QTimer::timeout, this, &UploadQueue::refreshCount);
    m_countTimer.start();
    refreshCount();
}

UploadQueue::~UploadQueue()
{
    *m_alive = false;
}

void UploadQueue::refreshCount()
{
    const service::Outbox* outbox = m_manager.outbox();
    const int count = outbox ? static_cast<int>(outbox->entries().size()) : 0;
    if (count == m_waitingCount)
        return;
    m_waitingCount = count;
    Q_EMIT waitingCountChanged();
}

void UploadQueue::setRetryingAll(bool retrying)
{
    if (m_retryingAll == retrying)
        return;
    m_retryingAll = retrying;
    Q_EMIT retryingAllChanged();
}

QCoro::Task<UploadQueue::Outcome> UploadQueue::upload(QByteArray recording)
{
    const std::shared_ptr<bool> alive = m_alive;
    const std::optional<catalogue::TMDBItem> item = m_manager.currentItem();
    const service::AppManager::UploadResult result = co_await m_manager.uploadLightShow(recording);
    Outcome outcome;
    if (!*alive)
        co_return outcome;
    outcome.error = result.error;
    outcome.outboxError = result.outboxError;
    if (result.error && item)
        outcome.pending = Pending { result.outboxId, recording, *item };
    if (result.succeeded())
        service::Notifier::instance().postRefreshLightShows();
    refreshCount();
    co_return outcome;
}

QCoro::Task<UploadQueue::Outcome> UploadQueue::retry(Pending pending)
{
    const std::shared_ptr<bool> alive = m_alive;
    Outcome outcome;
    service::Outbox* outbox = m_manager.outbox();
    QByteArray recording = pending.recording;
    if (!pending.outboxId.isEmpty() && outbox) {
        if (m_inFlight.contains(pending.outboxId)) {
            outcome.alreadySending = true; // its upload from elsewhere decides
            co_return outcome;
        }
        if (!outbox->entry(pending.outboxId)) {
            // Sent in the meantime (from the main window or the command line).
            refreshCount();
            co_return outcome;
        }
        m_inFlight.insert(pending.outboxId);
    }
    std::optional<service::ServiceError> error = co_await m_manager.uploadLightShowFor(recording, pending.item);
    if (!*alive)
        co_return outcome;
    m_inFlight.remove(pending.outboxId);
    if (outbox && !pending.outboxId.isEmpty()) {
        if (error)
            outbox->recordFailure(pending.outboxId, error->message());
        else
            outbox->remove(pending.outboxId);
    }
    outcome.error = error;
    if (error)
        outcome.pending = std::move(pending);
    else
        service::Notifier::instance().postRefreshLightShows();
    refreshCount();
    co_return outcome;
}

QCoro::Task<UploadQueue::RetrySummary> UploadQueue::retryAll()
{
    RetrySummary summary;
    service::Outbox* outbox = m_manager.outbox();
    if (!outbox || m_retryingAll)
        co_return summary;
    const std::shared_ptr<bool> alive = m_alive;
    setRetryingAll(true);
    for (const service::Outbox::Entry& entry : outbox->entries()) {
        if (m_inFlight.contains(entry.id))
            continue;
        const std::optional<QByteArray> recording = outbox->recording(entry.id);
        if (!recording)
            continue;
        m_inFlight.insert(entry.id);
        std::optional<service::ServiceError> error = co_await m_manager.uploadLightShowFor(*recording, entry.item);
        if (!*alive)
            co_return summary;
        m_inFlight.remove(entry.id);
        if (error) {
            outbox->recordFailure(entry.id, error->message());
            ++summary.failed;
            summary.lastError = error->message();
        } else {
            outbox->remove(entry.id);
            ++summary.uploaded;
        }
        refreshCount();
    }
    if (summary.uploaded > 0)
        service::Notifier::instance().postRefreshLightShows();
    setRetryingAll(false);
    co_return summary;
}

} // namespace corvex::app
