#pragma once

#include "catalogue/tmdb_item.h"
#include "service/account.h"
#include "service/outbox.h"
#include "service/service_error.h"

#include "platform/http/http_client.h"
#include "platform/settings/endpoints.h"

#include <QObject>

#include <QCoroTask>

#include <memory>
#include <optional>
#include <variant>

namespace corvex::settings {
class Store;
}

namespace corvex::service {

/// The author's signed-in state at the light-show service: the access token
/// (persisted under "access_token"), the signed-in `account`, the catalogue
/// item being recorded (`currentItem`), and the upload of a finished
/// recording. Lives on the GUI thread; its signals fire there.
class AppManager final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AppManager)

public:
    struct Configuration {
        std::shared_ptr<settings::Store> store;
        /// The endpoints, or why the configured ones cannot be used.
        std::variant<settings::Endpoints, QString> endpoints;
        /// Where recordings wait until their upload succeeded; none keeps no copy.
        std::shared_ptr<Outbox> outbox;
    };

    /// The process's instance, created on first use from the default
    /// settings store, endpoints and outbox. Call on the GUI thread.
    static AppManager& shared();

    /// Starts an account fetch when a token is stored.
    explicit AppManager(Configuration configuration, QObject* parent = nullptr);
    ~AppManager() override;

    std::optional<QString> accessToken() const;
    /// Stores the token (none removes it); a stored token starts an account
    /// fetch. False when the settings file could not be written.
    bool setAccessToken(const std::optional<QString>& token);
    /// Where the token is kept, for messages.
    QString settingsPath() const;

    const std::optional<Account>& account() const { return m_account; }
    void setAccount(const std::optional<Account>& account);

    /// Why the author is signed out when it was not their own doing (a
    /// refused sign-in answer, a token the service no longer accepts), for
    /// the sign-in prompt to show; empty otherwise. Storing a token clears it.
    const QString& signedOutMessage() const { return m_signedOutMessage; }
    void setSignedOutMessage(const QString& message);

    const std::optional<catalogue::TMDBItem>& currentItem() const { return m_currentItem; }
    void setCurrentItem(const std::optional<catalogue::TMDBItem>& item);

    /// Replaces `account` with what the service says; never fails to the caller.
    QCoro::Task<> fetchAccount();

    /// Signs out: forgets the token and the account here at once, then asks
    /// the service to revoke the token. Gives the revocation's error, if
    /// any; the author is signed out here whatever it says. Nothing when no
    /// token is stored.
    QCoro::Task<std::optional<ServiceError>> signOut();

    /// Call when the service answered 401 to a request that carried `token`:
    /// the token expired or was revoked, so the author is signed out with a
    /// message saying so. A token stored since then is left alone.
    void tokenRefused(const QString& token);

    /// The account request itself, with the reason when it fails (an answer
    /// that does not decode is a BadServerResponse with status 200 and the
    /// decoding problem as detail). Changes nothing.
    struct AccountOutcome {
        std::optional<Account> account;
        std::optional<ServiceError> error;
    };
    QCoro::Task<AccountOutcome> requestAccount();

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

    /// Uploads a serialised recording for `currentItem`. The recording is
    /// kept in the outbox from before the request until it succeeded, under
    /// `madeBy` (the account it was recorded under; empty: the signed-in
    /// one). It goes now only when that is the signed-in account.
    QCoro::Task<UploadResult> uploadLightShow(QByteArray recording, QString madeBy = {});
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
    };
    /// Which waiting recordings a retry of the outbox sends.
    enum class Refused {
        SendToo, // also those the service refused for good (it may take them now)
        Skip, // not those: they are left, and not listed
    };
    /// Uploads every waiting recording of the signed-in account again, oldest
    /// first; each leaves the outbox only when its upload succeeded. Entries of
    /// other accounts, or of no known account, are listed and left alone.
    QCoro::Task<RetryReport> retryOutbox(Refused refused = Refused::SendToo);

    /// The service origin, or none with `configurationError()` set.
    std::optional<QString> serviceOrigin() const;
    QString configurationError() const;
    const std::variant<settings::Endpoints, QString>& endpoints() const { return m_configuration.endpoints; }
    /// Takes newly configured endpoints; requests started from now go there.
    void setEndpoints(std::variant<settings::Endpoints, QString> endpoints);
    /// The settings store the token is kept in, which holds the studio's other settings too.
    settings::Store& store() const { return *m_configuration.store; }
    Outbox* outbox() const { return m_configuration.outbox.get(); }
    http::Client& httpClient() { return m_http; }

Q_SIGNALS:
    void accessTokenChanged();
    void accountChanged();
    void currentItemChanged();
    void signedOutMessageChanged();
    void endpointsChanged();
    /// The service stored an upload as the show `showId` (when its answer names it).
    void lightShowStored(const QString& showId, const catalogue::TMDBItem& item, const QByteArray& recording);

private:
    QCoro::Task<AccountOutcome> requestAccountFor(QString token);
    QCoro::Task<std::optional<ServiceError>> send(
        QByteArray recording, catalogue::TMDBItem item, QString key, QString token);
    /// The one road every upload attempt takes: take the entry, send it with
    /// `token` if it is `author`'s, then remove it or record the failure.
    /// An empty `author` means the sender is not known (a save while the
    /// account was still being fetched); only entries of no known author go
    /// then, and they stay of unknown author.
    QCoro::Task<DeliveryResult> deliver(Parcel parcel, QString token, QString author, Adopt adopt);

    Configuration m_configuration;
    /// False once destruction began; coroutines check it after each wait.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    http::Client m_http;
    std::optional<Account> m_account;
    std::optional<catalogue::TMDBItem> m_currentItem;
    QString m_signedOutMessage;
};

} // namespace corvex::service
