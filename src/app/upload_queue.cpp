#include "app/upload_queue.h"

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

namespace {

using Delivery = service::AppManager::Delivery;

// What the recording window shows for one delivery.
UploadQueue::Outcome outcomeOf(
    Delivery delivery, std::optional<service::ServiceError> error, const UploadQueue::Pending& pending)
{
    UploadQueue::Outcome outcome;
    switch (delivery) {
    case Delivery::Sent:
        break;
    case Delivery::Gone: // sent or removed from elsewhere meanwhile; not by us
        outcome.gone = true;
        break;
    case Delivery::Failed:
        outcome.error = std::move(error);
        outcome.pending = pending;
        break;
    case Delivery::Busy:
        outcome.alreadySending = true;
        break;
    case Delivery::OtherAuthor:
        outcome.otherAuthor = true;
        outcome.author = pending.entry.authorText();
        outcome.pending = pending;
        break;
    case Delivery::UnknownAuthor:
        outcome.unknownAuthor = true;
        outcome.pending = pending;
        break;
    }
    return outcome;
}

} // namespace

QCoro::Task<UploadQueue::Outcome> UploadQueue::upload(QByteArray recording, QString madeBy)
{
    const std::shared_ptr<bool> alive = m_alive;
    service::AppManager::UploadResult result
        = co_await m_manager.uploadLightShow(std::move(recording), std::move(madeBy));
    if (!*alive)
        co_return Outcome {};
    Outcome outcome = outcomeOf(result.delivery, result.error, result.parcel);
    outcome.outboxError = result.outboxError;
    if (result.succeeded())
        service::Notifier::instance().postRefreshLightShows();
    refreshCount();
    co_return outcome;
}

QCoro::Task<UploadQueue::Outcome> UploadQueue::retry(Pending pending)
{
    const std::shared_ptr<bool> alive = m_alive;
    const service::AppManager::DeliveryResult result = co_await m_manager.retry(pending);
    if (!*alive)
        co_return Outcome {};
    Outcome outcome = outcomeOf(result.delivery, result.error, pending);
    if (result.delivery == Delivery::Sent)
        service::Notifier::instance().postRefreshLightShows();
    refreshCount();
    co_return outcome;
}

QCoro::Task<UploadQueue::RetrySummary> UploadQueue::retryAll()
{
    RetrySummary summary;
    if (!m_manager.outbox() || m_retryingAll)
        co_return summary;
    const std::shared_ptr<bool> alive = m_alive;
    setRetryingAll(true);
    const service::AppManager::RetryReport report = co_await m_manager.retryOutbox();
    if (!*alive)
        co_return summary;
    if (report.error) {
        summary.failed = static_cast<int>(m_manager.outbox()->entries().size());
        summary.lastError = report.error->message();
    }
    for (const service::AppManager::RetryResult& entry : report.results) {
        switch (entry.result.delivery) {
        case Delivery::Sent:
            ++summary.uploaded;
            break;
        case Delivery::Failed:
            ++summary.failed;
            summary.lastError = entry.result.error ? entry.result.error->message() : QString();
            if (entry.result.error && entry.result.error->isPermanent())
                ++summary.refusedForGood;
            break;
        case Delivery::OtherAuthor: {
            ++summary.otherAuthors;
            service::Outbox::Entry waiting;
            waiting.accountId = entry.accountId;
            if (const auto stored = m_manager.outbox()->entry(entry.id))
                waiting = *stored;
            if (!summary.waitingFor.contains(waiting.authorText()))
                summary.waitingFor.append(waiting.authorText());
            break;
        }
        case Delivery::UnknownAuthor:
            ++summary.unknownAuthor;
            break;
        case Delivery::Busy:
        case Delivery::Gone:
            break;
        }
    }
    if (summary.uploaded > 0)
        service::Notifier::instance().postRefreshLightShows();
    refreshCount();
    setRetryingAll(false);
    co_return summary;
}

} // namespace corvex::app
