#include "app/upload_queue.h"

#include "service/outbox.h"

namespace corvex::app {

UploadQueue::UploadQueue(service::UploadDelivery& delivery, QObject* parent)
    : QObject(parent)
    , m_delivery(delivery)
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
    const service::Outbox* outbox = this->outbox();
    service::Outbox::Contents contents = outbox ? outbox->contents() : service::Outbox::Contents();
    if (std::equal(contents.entries.begin(), contents.entries.end(), m_entries.begin(), m_entries.end(), sameState)
        && contents.unreadable == m_unreadable)
        return;
    m_entries = std::move(contents.entries);
    m_unreadable = std::move(contents.unreadable);
    Q_EMIT entriesChanged();
}

void UploadQueue::setRetryingAll(bool retrying)
{
    if (m_retryingAll == retrying)
        return;
    m_retryingAll = retrying;
    Q_EMIT retryingAllChanged();
}

void UploadQueue::announce(const Delivered& delivered)
{
    Q_EMIT this->delivered(delivered);
}

namespace {

// What the recording window shows for one delivery.
UploadQueue::Outcome outcomeOf(
    UploadQueue::Delivery delivery, std::optional<service::ServiceError> error, const UploadQueue::Pending& pending)
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
        // Still waiting: what the other sender's attempt comes to is this recording's news too.
        outcome.alreadySending = true;
        outcome.pending = pending;
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
    QByteArray recording, std::optional<catalogue::TMDBItem> item, QString madeBy, std::shared_ptr<const bool> watcher)
{
    const std::shared_ptr<bool> alive = m_alive;
    service::UploadDelivery::UploadResult result
        = co_await m_delivery.uploadLightShow(std::move(recording), std::move(item), std::move(madeBy));
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
    const service::UploadDelivery::DeliveryResult result = co_await m_delivery.retry(pending);
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
    if (!outbox() || m_retryingAll)
        co_return summary;
    const std::shared_ptr<bool> alive = m_alive;
    setRetryingAll(true);
    const service::UploadDelivery::RetryReport report = co_await m_delivery.retryOutbox();
    if (!*alive)
        co_return summary;
    const auto waitAsked = [&summary](const service::ServiceError& error) {
        if (error.retryAfter && (!summary.retryAfter || *error.retryAfter > *summary.retryAfter))
            summary.retryAfter = error.retryAfter;
    };
    if (report.error) {
        summary.failed = static_cast<int>(outbox()->entries().size());
        summary.transient = report.error->isTransient() ? summary.failed : 0;
        summary.lastError = report.error->message();
        waitAsked(*report.error);
    }
    // The entries as each view knew them, with what the attempts noted in them.
    const QList<service::Outbox::Entry> before = m_entries;
    for (const service::UploadDelivery::RetryResult& entry : report.results) {
        const service::UploadDelivery::DeliveryResult& result = entry.result;
        Pending pending;
        pending.entry.id = entry.id;
        pending.entry.item = entry.item;
        pending.entry.accountId = entry.accountId;
        for (const service::Outbox::Entry& known : before)
            if (known.id == entry.id)
                pending.entry = known;
        if (const auto stored = outbox()->entry(entry.id))
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
        announce({ pending, result.delivery, result.error, asker == Asker::Automatic });
    }
    refreshCount();
    setRetryingAll(false);
    co_return summary;
}

} // namespace corvex::app
