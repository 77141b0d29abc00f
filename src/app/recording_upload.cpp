#include "app/recording_upload.h"

#include "service/sign_in.h"

namespace corvex::app {

RecordingUpload::RecordingUpload(UploadQueue& uploads, QObject* parent)
    : QObject(parent)
    , m_uploads(uploads)
{
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

bool RecordingUpload::clearFinished()
{
    if (m_pending || m_uploading)
        return false;
    show({}, Tone::Neutral);
    return true;
}

QCoro::Task<> RecordingUpload::upload(QByteArray recording)
{
    const std::shared_ptr<bool> alive = m_alive;
    m_uploading = true;
    // A new recording takes the place of the one that waited here; that one
    // stays in the outbox for the main window's Retry.
    m_pending.reset();
    show(QStringLiteral("Uploading the recording…"), Tone::Neutral);
    const UploadQueue::Outcome outcome = co_await m_uploads.upload(std::move(recording), m_author);
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
    const UploadQueue::Outcome outcome = co_await m_uploads.retry(*m_pending);
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
    if (outcome.error->isPermanent() && m_pending && !m_pending->entry.id.isEmpty())
        text += QStringLiteral(" The service refused it for good, so it will never upload: keep it with 'corvex "
                               "outbox --save %1 FILE', then remove it with 'corvex outbox --remove %1'.")
                    .arg(m_pending->entry.id);
    else if (m_pending && !m_pending->entry.id.isEmpty())
        text += QStringLiteral(" The recording is kept until it is uploaded: press Retry, or retry later from the "
                               "main window.");
    else if (m_pending)
        text += QStringLiteral(" It could not be kept on disk (%1): press Retry before closing this window.")
                    .arg(m_outboxError);
    show(text, Tone::Failure);
}

} // namespace corvex::app
