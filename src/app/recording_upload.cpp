#include "app/recording_upload.h"

#include "service/sign_in.h"

namespace corvex::app {

RecordingUpload::RecordingUpload(UploadQueue& uploads, QObject* parent)
    : QObject(parent)
    , m_uploads(uploads)
{
    connect(&uploads, &UploadQueue::delivered, this, &RecordingUpload::follow);
    connect(&uploads, &UploadQueue::entriesChanged, this, &RecordingUpload::followEntries);
}

std::optional<service::Outbox::Entry> RecordingUpload::waitingEntry() const
{
    if (!m_pending || m_pending->entry.id.isEmpty())
        return std::nullopt;
    return m_pending->entry;
}

void RecordingUpload::follow(const UploadQueue::Delivered& delivered)
{
    // Our own attempts are shown as they end; those of others by their outcome.
    if (m_uploading || !waitingEntry() || delivered.pending.entry.id != m_pending->entry.id)
        return;
    const UploadQueue::Delivery delivery = delivered.delivery;
    // "Being sent elsewhere" and "gone" say nothing new about it.
    if (delivery == UploadQueue::Delivery::Busy || delivery == UploadQueue::Delivery::Gone)
        return;
    showOutcome(UploadQueue::outcomeOf(delivered));
}

void RecordingUpload::followEntries()
{
    const auto waiting = waitingEntry();
    if (m_uploading || !waiting)
        return;
    for (const service::Outbox::Entry& entry : m_uploads.entries()) {
        if (entry.id == waiting->id)
            return;
    }
    UploadQueue::Outcome outcome;
    outcome.gone = true;
    showOutcome(outcome);
}

RecordingUpload::~RecordingUpload()
{
    *m_alive = false;
}

void RecordingUpload::show(QString status, Tone tone)
{
    m_status = std::move(status);
    m_tone = tone;
    Q_EMIT changed();
}

void RecordingUpload::reportNothingToUpload()
{
    show(QStringLiteral("The recording could not be put together, so nothing was uploaded. Record it again."),
        Tone::Failure);
}

void RecordingUpload::reportKept(const QString& message, bool succeeded)
{
    show(message, succeeded ? m_tone : Tone::Failure);
}

void RecordingUpload::reportRemoved(const QString& message, bool succeeded)
{
    if (succeeded)
        m_pending.reset();
    show(message, succeeded ? Tone::Neutral : Tone::Failure);
}

bool RecordingUpload::clearFinished()
{
    if (m_pending || m_uploading)
        return false;
    show({}, Tone::Neutral);
    return true;
}

QCoro::Task<> RecordingUpload::upload(QByteArray recording, std::optional<catalogue::TMDBItem> item)
{
    const std::shared_ptr<bool> alive = m_alive;
    m_uploading = true;
    // A new recording takes the place of the one that waited here; that one
    // stays in the outbox for the main window's Retry.
    m_pending.reset();
    show(QStringLiteral("Uploading the recording…"), Tone::Neutral);
    const UploadQueue::Outcome outcome
        = co_await m_uploads.upload(std::move(recording), std::move(item), m_author, alive);
    if (outcome.error)
        service::printToStandardOutput(QStringLiteral("Error: ") + outcome.error->message());
    if (!*alive)
        co_return;
    m_uploading = false;
    m_outboxError = outcome.outboxError;
    showOutcome(outcome);
}

QCoro::Task<> RecordingUpload::retry()
{
    if (!m_pending || m_uploading)
        co_return;
    const std::shared_ptr<bool> alive = m_alive;
    m_uploading = true;
    show(QStringLiteral("Uploading the recording again…"), Tone::Neutral);
    const UploadQueue::Outcome outcome = co_await m_uploads.retry(*m_pending, alive);
    if (outcome.error)
        service::printToStandardOutput(QStringLiteral("Error: ") + outcome.error->message());
    if (!*alive)
        co_return;
    m_uploading = false;
    showOutcome(outcome);
}

void RecordingUpload::showOutcome(const UploadQueue::Outcome& outcome)
{
    // Whatever happened, a recording that has not reached the service stays
    // offered for Retry; only a success (here or elsewhere) lets it go.
    m_pending = outcome.pending;
    m_refusedForGood = outcome.error && outcome.error->isPermanent() && waitingEntry();
    if (outcome.alreadySending) {
        show(QStringLiteral("The recording is being uploaded from the main window."), Tone::Neutral);
        return;
    }
    if (outcome.gone) {
        show(QStringLiteral("The recording no longer waits in the outbox: it was uploaded or removed elsewhere."),
            Tone::Neutral);
        return;
    }
    if (outcome.otherAuthor) {
        show(QStringLiteral("This recording was made under another account, %1. It waits in the outbox until that "
                            "account signs in again.")
                 .arg(outcome.author),
            Tone::Failure);
        return;
    }
    if (outcome.unknownAuthor) {
        QString text = QStringLiteral(
            "It is not known under which account this recording was made, so it is not sent to yours.");
        if (m_pending && !m_pending->entry.id.isEmpty())
            text += QStringLiteral(" If it is yours, send it with 'corvex outbox --send %1'.").arg(m_pending->entry.id);
        show(text, Tone::Failure);
        return;
    }
    if (!outcome.error) {
        show(QStringLiteral("The recording was uploaded."), Tone::Success);
        return;
    }
    QString text = QStringLiteral("Upload failed: %1.").arg(outcome.error->message());
    if (m_refusedForGood)
        text += QStringLiteral(" The service refused it for good, so it will never upload: save it as a file, then "
                               "remove it from the outbox.");
    else if (m_pending && !m_pending->entry.id.isEmpty())
        text += outcome.error->isTransient()
            ? QStringLiteral(" The recording is kept and sent again by itself once the service answers; Retry "
                             "sends it now.")
            : QStringLiteral(" The recording is kept until it is uploaded: press Retry.");
    else if (m_pending)
        text += QStringLiteral(" It could not be kept on disk (%1): press Retry before closing this window.")
                    .arg(m_outboxError);
    show(text, Tone::Failure);
}

} // namespace corvex::app
