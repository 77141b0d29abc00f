#pragma once

#include "service/account.h"
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
/// (persisted under "access_token"), the signed-in `account`, why they were
/// signed out, and the endpoints requests go to. Lives on the GUI thread;
/// its signals fire there.
class Session final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Session)

public:
    struct Configuration {
        std::shared_ptr<settings::Store> store;
        /// The endpoints, or why the configured ones cannot be used.
        std::variant<settings::Endpoints, QString> endpoints;
    };

    /// The process's instance, created on first use from the default
    /// settings store and endpoints. Call on the GUI thread.
    static Session& shared();

    /// Starts an account fetch when a token is stored.
    explicit Session(Configuration configuration, QObject* parent = nullptr);
    ~Session() override;

    /// The stored token, unless another service than the one set now issued
    /// it: a token is never sent elsewhere.
    std::optional<QString> accessToken() const;
    /// The origin of the service that issued the stored token, when that is not
    /// the service set now; none otherwise.
    std::optional<QString> tokenOrigin() const;
    /// Stores the token as the current service's (none removes it); a stored
    /// token starts an account fetch. False when the settings file could not be written.
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

    /// Replaces `account` with what the service says; never fails to the caller.
    QCoro::Task<> fetchAccount();

    /// Signs out: forgets the token and the account here at once, then asks
    /// the service to revoke the token. Gives the revocation's error, if
    /// any, which also becomes the signed-out message; the author is signed
    /// out here whatever it says. Nothing when no token is stored.
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
    /// Whose `token` is, asked of the service now (the published account may
    /// still be the previous author's while a new sign-in's fetch is under
    /// way). A token the service refuses signs the author out, as on an upload.
    QCoro::Task<AccountOutcome> ownerOf(QString token);

    /// The service origin, or none with `configurationError()` set.
    std::optional<QString> serviceOrigin() const;
    QString configurationError() const;
    const std::variant<settings::Endpoints, QString>& endpoints() const { return m_configuration.endpoints; }
    /// Takes newly configured endpoints; requests started from now go there.
    void setEndpoints(std::variant<settings::Endpoints, QString> endpoints);
    /// The settings store the token is kept in, which holds the studio's other settings too.
    settings::Store& store() const { return *m_configuration.store; }
    http::Client& httpClient() { return m_http; }
    /// False once destruction began, for coroutines of others that wait on this session.
    std::shared_ptr<const bool> lifetime() const { return m_alive; }

Q_SIGNALS:
    void accessTokenChanged();
    void accountChanged();
    void signedOutMessageChanged();
    void endpointsChanged();

private:
    /// Says, as the signed-out message, that the stored token is another service's.
    void noteTokenElsewhere();
    /// Asks the service to end `token`; its error, if any.
    QCoro::Task<std::optional<ServiceError>> revoke(QString token);

    /// The account request made with `token`, whichever is stored.
    QCoro::Task<AccountOutcome> requestAccountFor(QString token);

    Configuration m_configuration;
    /// False once destruction began; coroutines check it after each wait.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
    http::Client m_http;
    std::optional<Account> m_account;
    QString m_signedOutMessage;
};

} // namespace corvex::service
