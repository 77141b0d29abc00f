#pragma once

#include "catalogue/tmdb_item.h"
#include "service/outbox.h"
#include "service/service_error.h"

#include <QObject>

#include <QCoroTask>

#include <memory>
#include <optional>

namespace corvex::service {

class Session;

/// The uploads of finished recordings for the author signed in to `session`,
/// with their outbox: the first attempt, retries of one recording, and the
/// retry of everything waiting. Lives on the GUI thread; its signals fire there.
class UploadDelivery final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UploadDelivery)

public:
    /// The process's instance, on the process's session and the default
    /// outbox, created on first use. Call on the GUI thread.
    static UploadDelivery& shared();

    /// `outbox` is where recordings wait until their upload succeeded; none keeps no copy.
    UploadDelivery(Session& session, std::shared_ptr<Outbox> outbox, QObject* parent = nullptr);
    ~UploadDelivery() override;

    Session& session() const { return m_session; }
    Outbox* outbox() const { return m_outbox.get(); }

    /// A recording on its way to the service: an outbox entry, or, when no
    /// copy could be kept on disk, the recording itself with what the entry
    /// would have held.
    struct Parcel {
        Outbox::Entry entry; // entry.id empty: not in the outbox
        QByteArray recording; // only when entry.id is empty
    };

    enum class Delivery {
        Sent, // the service took it; it left the outbox
        Failed, // the attempt failed (`error`); it stays in the outbox
        Busy, // someone else is sending it right now
        Gone, // it left the outbox meanwhile (sent from elsewhere)
        OtherAuthor, // made under another account: waits for its author
        UnknownAuthor, // its author is not known: sent only when asked for explicitly
    };

    struct DeliveryResult {
        Delivery delivery = Delivery::Failed;
        std::optional<ServiceError> error; // for Failed
    };

    struct UploadResult {
        Delivery delivery = Delivery::Failed;
        std::optional<ServiceError> error; // for Failed
        QString outboxId; // the copy kept in the outbox; gone again after a success
        QString outboxError; // why no copy could be kept, when it could not
        Parcel parcel; // what a retry sends

        bool succeeded() const { return delivery == Delivery::Sent; }
    };

    /// Uploads a serialised recording for `item` (none: nothing is being
    /// recorded, so it fails). The recording is kept in the outbox from
    /// before the request until it succeeded, under `madeBy` (the account it
    /// was recorded under; empty: the signed-in one). It goes now only when
    /// that is the signed-in account.
    QCoro::Task<UploadResult> uploadLightShow(
        QByteArray recording, std::optional<catalogue::TMDBItem> item, QString madeBy = {});
    /// One request that uploads a recording for the given item, without
    /// touching the outbox; `key` (when not empty) goes out as Idempotency-Key.
    QCoro::Task<std::optional<ServiceError>> uploadLightShowFor(
        QByteArray recording, catalogue::TMDBItem item, QString key = {});

    /// Whose entries a retry may send.
    enum class Adopt {
        No, // only the signed-in account's own entries
        UnknownAuthor, // also entries whose author is not known; they become the signed-in account's
    };

    /// Sends a waiting recording again, as the signed-in account: asks the
    /// service whose the stored token is, then delivers the parcel.
    QCoro::Task<DeliveryResult> retry(Parcel parcel, Adopt adopt = Adopt::No);

    /// The result of one outbox retry, per entry.
    struct RetryResult {
        QString id;
        catalogue::TMDBItem item;
        QString accountId;
        DeliveryResult result;
    };
    struct RetryReport {
        /// Set when nothing could be tried (not signed in, the account could
        /// not be fetched); `results` is then empty.
        std::optional<ServiceError> error;
        QList<RetryResult> results; // every entry, oldest first
        int refusedLeft = 0; // entries the service had refused for good, not sent
    };
    /// Uploads every waiting recording of the signed-in account again, oldest
    /// first; each leaves the outbox only when its upload succeeded. Entries of
    /// other accounts, or of no known account, are listed and left alone. What
    /// the service refused for good is left, and not listed: it goes again only
    /// when the author sends it by itself (retry()).
    QCoro::Task<RetryReport> retryOutbox();

Q_SIGNALS:
    /// The service stored an upload as the show `showId` (when its answer names it).
    void lightShowStored(const QString& showId, const catalogue::TMDBItem& item, const QByteArray& recording);
    /// The author's light shows changed on the service: an upload, a retry,
    /// or a retry of the outbox delivered at least one recording.
    void lightShowsChanged();

private:
    /// Whether this delivery and its session both still exist.
    struct Alive {
        std::shared_ptr<const bool> delivery;
        std::shared_ptr<const bool> session;
        explicit operator bool() const { return *delivery && *session; }
    };
    Alive alive() const;

    QCoro::Task<std::optional<ServiceError>> send(
        QByteArray recording, catalogue::TMDBItem item, QString key, QString token);
    /// The one road every upload attempt takes: take the entry, send it with
    /// `token` if it is `author`'s, then remove it or record the failure.
    /// An empty `author` means the sender is not known (a save while the
    /// account was still being fetched); only entries of no known author go
    /// then, and they stay of unknown author.
    QCoro::Task<DeliveryResult> deliver(Parcel parcel, QString token, QString author, Adopt adopt);

    Session& m_session;
    std::shared_ptr<Outbox> m_outbox;
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

} // namespace corvex::service
