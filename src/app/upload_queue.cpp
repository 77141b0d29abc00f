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

namespace {

// Whether two readings of an entry say the same to the author.
bool sameState(const service::Outbox::Entry& a, const service::Outbox::Entry& b)
{
    return a.id == b.id && a.attempts == b.attempts && a.lastError == b.lastError && a.lastStatus == b.lastStatus
        && a.accountId == b.accountId && a.accountEmail == b.accountEmail;
}

} // namespace

void UploadQueue::refreshCount()
{
    const service::Outbox* outbox = m_manager.outbox();
    QList<service::Outbox::Entry> entries = outbox ? outbox->entries() : QList<service::Outbox::Entry>();
    if (std::equal(entries.begin(), entries.end(), m_entries.begin(), m_entries.end(), sameState))
        return;
    m_entries = std::move(entries);
    Q_EMIT entriesChanged();
}

void UploadQueue::setRetryingAll(bool retrying)
{
    if (m_retryingAll == retrying)
        return;
    m_retryingAll = retrying;
    Q_EMIT retryingAllChanged();
}

void UploadQueue::announce(const Delivered& delivered, bool refreshList)
{
    if (delivered.delivery == Delivery::Sent && refreshList)
        service::Notifier::instance().postRefreshLightShows();
    Q_EMIT this->delivered(delivered);
}

namespace {

// What the recording window shows for one delivery.
UploadQueue::Outcome outcomeOf(UploadQueue::Delivery delivery, std::optional<service::ServiceError> error,
    const UploadQueue::Pending& pending)
{
    using Delivery = UploadQueue::Delivery;
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

bool unwatched(const std::shared_ptr<const bool>& watcher)
{
    return watcher && !*watcher;
}

} // namespace

UploadQueue::Outcome UploadQueue::outcomeOf(const Delivered& delivered)
{
    return app::outcomeOf(delivered.delivery, delivered.error, delivered.pending);
}

QCoro::Task<UploadQueue::Outcome> UploadQueue::upload(
    QByteArray recording, QString madeBy, std::shared_ptr<const bool> watcher)
{
    const std::shared_ptr<bool> alive = m_alive;
    service::AppManager::UploadResult result
        = co_await m_manager.uploadLightShow(std::move(recording), std::move(madeBy));
    if (!*alive)
        co_return Outcome {};
    Outcome outcome = app::outcomeOf(result.delivery, result.error, result.parcel);
    outcome.outboxError = result.outboxError;
    announce({ result.parcel, result.delivery, result.error, unwatched(watcher) });
    refreshCount();
    co_return outcome;
}

QCoro::Task<UploadQueue::Outcome> UploadQueue::retry(Pending pending, std::shared_ptr<const bool> watcher)
{
    const std::shared_ptr<bool> alive = m_alive;
    const service::AppManager::DeliveryResult result = co_await m_manager.retry(pending);
    if (!*alive)
        co_return Outcome {};
    Outcome outcome = app::outcomeOf(result.delivery, result.error, pending);
    announce({ pending, result.delivery, result.error, unwatched(watcher) });
    refreshCount();
    co_return outcome;
}

QCoro::Task<UploadQueue::RetrySummary> UploadQueue::retryAll(Asker asker)
{
    RetrySummary summary;
    if (!m_manager.outbox() || m_retryingAll)
        co_return summary;
    const std::shared_ptr<bool> alive = m_alive;
    setRetryingAll(true);
    // What the service refused for good is sent again only when the author asks for it by itself.
    const service::AppManager::RetryReport report
        = co_await m_manager.retryOutbox(service::AppManager::Refused::Skip);
    if (!*alive)
        co_return summary;
    const auto waitAsked = [&summary](const service::ServiceError& error) {
        if (error.retryAfter && (!summary.retryAfter || *error.retryAfter > *summary.retryAfter))
            summary.retryAfter = error.retryAfter;
    };
    if (report.error) {
        summary.failed = static_cast<int>(m_manager.outbox()->entries().size());
        summary.transient = report.error->isTransient() ? summary.failed : 0;
        summary.lastError = report.error->message();
        waitAsked(*report.error);
    }
    // The entries as each view knew them, with what the attempts noted in them.
    const QList<service::Outbox::Entry> before = m_entries;
    for (const service::AppManager::RetryResult& entry : report.results) {
        const service::AppManager::DeliveryResult& result = entry.result;
        Pending pending;
        pending.entry.id = entry.id;
        pending.entry.item = entry.item;
        pending.entry.accountId = entry.accountId;
        for (const service::Outbox::Entry& known : before)
            if (known.id == entry.id)
                pending.entry = known;
        if (const auto stored = m_manager.outbox()->entry(entry.id))
            pending.entry = *stored;
        switch (result.delivery) {
        case Delivery::Sent:
            ++summary.uploaded;
            break;
        case Delivery::Failed:
            ++summary.failed;
            summary.lastError = result.error ? result.error->message() : QString();
            if (result.error) {
                summary.refusedForGood += result.error->isPermanent() ? 1 : 0;
                summary.transient += result.error->isTransient() ? 1 : 0;
                waitAsked(*result.error);
            }
            break;
        case Delivery::OtherAuthor:
            ++summary.otherAuthors;
            break;
        case Delivery::UnknownAuthor:
            ++summary.unknownAuthor;
            break;
        case Delivery::Busy:
        case Delivery::Gone:
            break;
        }
        announce({ pending, result.delivery, result.error, asker == Asker::Automatic }, false);
    }
    if (summary.uploaded > 0)
        service::Notifier::instance().postRefreshLightShows();
    refreshCount();
    setRetryingAll(false);
    co_return summary;
}

} // namespace corvex::app
