#pragma once

#include "app/upload_queue.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <QCoroTask>

#include <memory>
#include <optional>

namespace corvex::app {

/// The upload of the recordings saved in one recording window, and their
/// Retry: what the panel shows under the recording button. A failed upload
/// or Retry keeps the recording (in the outbox, or here when no copy could
/// be kept) and offers Retry again, unless the service refused it for good.
/// What is done to the recording from elsewhere (the main window's retry,
/// the outbox's own, the command-line tool) shows here too. GUI thread only.
class RecordingUpload final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RecordingUpload)

public:
    enum class Tone { Neutral, Success, Failure };

    explicit RecordingUpload(UploadQueue& uploads, QObject* parent = nullptr);
    ~RecordingUpload() override;

    /// Notes whose the recording that starts now is: signing out or in
    /// before it is saved does not hand it to another account.
    void recordingStarted(const QString& accountId) { m_author = accountId; }
    /// Uploads a saved recording of `item` in the background.
    QCoro::Task<> upload(QByteArray recording, std::optional<catalogue::TMDBItem> item);
    /// Sends the last recording that did not get through again.
    QCoro::Task<> retry();
    /// A save that produced no recording.
    void reportNothingToUpload();
    /// Says what became of the author's save or removal of the waiting
    /// recording; a removal lets it go.
    void reportKept(const QString& message, bool succeeded);
    void reportRemoved(const QString& message, bool succeeded);
    /// Forgets the news of a finished upload. A recording that still waits
    /// for Retry, or one on its way, keeps its status; returns whether the
    /// status was cleared.
    bool clearFinished();

    QString status() const { return m_status; }
    Tone tone() const { return m_tone; }
    /// Whether Retry is offered: a recording of this window still waits, and
    /// the service did not refuse it for good.
    bool canRetry() const { return retryVisible() && !m_uploading; }
    bool retryVisible() const { return m_pending.has_value() && !m_refusedForGood; }
    bool isUploading() const { return m_uploading; }
    /// The outbox entry of the recording that waits here, when it has one.
    std::optional<service::Outbox::Entry> waitingEntry() const;
    /// Whether the service refused the waiting recording for good: it can
    /// only be saved to a file or removed.
    bool isRefusedForGood() const { return m_pending.has_value() && m_refusedForGood; }

Q_SIGNALS:
    void changed();

private:
    void show(QString status, Tone tone);
    void showOutcome(const UploadQueue::Outcome& outcome);
    /// Follows what was done to the waiting recording from elsewhere.
    void follow(const UploadQueue::Delivered& delivered);
    void followEntries();

    UploadQueue& m_uploads;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    std::optional<UploadQueue::Pending> m_pending; // the last recording that did not get through
    QString m_outboxError; // why the recording waiting here has no copy on disk
    QString m_author; // the account the current recording was started under
    bool m_uploading = false;
    bool m_refusedForGood = false;
    QString m_status;
    Tone m_tone = Tone::Neutral;
};

} // namespace corvex::app
