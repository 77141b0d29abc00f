#pragma once

#include "service/service_error.h"
#include "service/upload_delivery.h"

#include <QByteArray>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <QCoroTask>

#include <chrono>
#include <memory>
#include <optional>

namespace corvex::app {

/// The studio's uploads of finished recordings, and what waits in the outbox.
/// Each recording is kept in the outbox until the service accepted it; a
/// failed upload can be retried from the recording window, everything waiting
/// from the main window, and the outbox retries by itself. Every attempt goes
/// through the one upload delivery, which takes the outbox entry for its
/// duration, so one recording is never sent twice at the same time, here or
/// by the command-line tool. Every attempt's end is announced (`delivered`),
/// so that every view of a recording shows what became of it last, whoever
/// sent it. GUI thread only.
class UploadQueue final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UploadQueue)

public:
    /// A recording that still has to reach the service.
    using Pending = service::UploadDelivery::Parcel;
    using Delivery = service::UploadDelivery::Delivery;

    struct Outcome {
        std::optional<service::ServiceError> error;
        std::optional<Pending> pending; // set when it still has to be sent
        QString author; // for otherAuthor: whose it is
        QString outboxError; // why no copy is kept, when none is
        bool alreadySending = false; // it is on its way from elsewhere already
        bool gone = false; // it left the outbox from elsewhere: not sent from here
        bool otherAuthor = false; // made under another account: it waits for its author
        bool unknownAuthor = false; // its author is not known: send it with the command-line tool
    };

    /// The end of one attempt, from wherever it was made.
    struct Delivered {
        Pending pending; // what was sent (entry.id empty: no copy is kept)
        Delivery delivery = Delivery::Failed;
        std::optional<service::ServiceError> error;
        /// Nobody watched it end: an automatic retry, or an upload whose
        /// recording window was closed meanwhile.
        bool background = false;
    };

    struct RetrySummary {
        int uploaded = 0;
        int failed = 0;
        int transient = 0; // among the failed: those that may pass by themselves
        int otherAuthors = 0; // left for their authors
        int unknownAuthor = 0; // left for an explicit send
        int refusedForGood = 0; // among the failed: the service will never take them
        QString lastError;
        /// The longest wait the service asked for (Retry-After), if it did.
        std::optional<std::chrono::seconds> retryAfter;
    };

    /// Who asked for a retry of the whole outbox.
    enum class Asker { Author, Automatic };

    explicit UploadQueue(service::UploadDelivery& delivery, QObject* parent = nullptr);
    ~UploadQueue() override;

    /// What a recording window shows for a delivery.
    static Outcome outcomeOf(const Delivered& delivered);

    /// Uploads a finished recording for `item` (none: nothing was being
    /// recorded), made under the account `madeBy` (empty: the signed-in one).
    /// The attempt counts as one in the background when `watcher` is false by its end.
    QCoro::Task<Outcome> upload(QByteArray recording, std::optional<catalogue::TMDBItem> item, QString madeBy = {},
        std::shared_ptr<const bool> watcher = {});
    /// Sends a recording whose upload failed again.
    QCoro::Task<Outcome> retry(Pending pending, std::shared_ptr<const bool> watcher = {});
    /// Sends everything waiting in the outbox again, oldest first, except
    /// what the service refused for good.
    QCoro::Task<RetrySummary> retryAll(Asker asker = Asker::Author);

    service::UploadDelivery& delivery() const { return m_delivery; }
    /// Where recordings wait; none when no copy is kept.
    service::Outbox* outbox() const { return m_delivery.outbox(); }
    /// The outbox as last read, oldest first.
    const QList<service::Outbox::Entry>& entries() const { return m_entries; }
    /// Entries whose description cannot be read, as last read: never sent,
    /// but listed so that their recordings can be saved.
    const QStringList& unreadable() const { return m_unreadable; }
    /// Recordings in the outbox, as last counted, unreadable ones too.
    int waitingCount() const { return static_cast<int>(m_entries.size() + m_unreadable.size()); }
    bool isRetryingAll() const { return m_retryingAll; }
    /// Reads the outbox again (it is shared with the command-line tool, so
    /// this also runs every few seconds).
    void refreshCount();

Q_SIGNALS:
    /// Something of the outbox changed: an entry came, went, or was tried.
    void entriesChanged();
    void retryingAllChanged();
    void delivered(const corvex::app::UploadQueue::Delivered& delivered);

private:
    void setRetryingAll(bool retrying);
    void announce(const Delivered& delivered);

    service::UploadDelivery& m_delivery;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    QList<service::Outbox::Entry> m_entries;
    QStringList m_unreadable;
    bool m_retryingAll = false;
    QTimer m_countTimer;
};

} // namespace corvex::app
