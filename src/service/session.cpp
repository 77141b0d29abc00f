#include "service/session.h"

#include "service/service_urls.h"

#include "platform/settings/store.h"

#include <QCoreApplication>

namespace corvex::service {

namespace {

const QString kAccessTokenKey = QStringLiteral("access_token");
// The service that issued the token (none in files written before it was kept).
const QString kTokenOriginKey = QStringLiteral("access_token_origin");

} // namespace

Session& Session::shared()
{
    static Session* session = [] {
        auto store = std::make_shared<settings::Store>();
        auto endpoints = settings::Endpoints::load(*store);
        // Owned by the application object: it lives as long as the process runs.
        return new Session({ std::move(store), std::move(endpoints) }, QCoreApplication::instance());
    }();
    return *session;
}

Session::Session(Configuration configuration, QObject* parent)
    : QObject(parent)
    , m_configuration(std::move(configuration))
{
    noteTokenElsewhere();
    fetchAccount();
}

Session::~Session()
{
    // Requests still in flight end now, while every member is intact; their
    // coroutines see that we are gone and stop.
    *m_alive = false;
    m_http.abortAll();
}

std::optional<QString> Session::accessToken() const
{
    // A token goes only to the service that issued it.
    if (tokenOrigin())
        return std::nullopt;
    return m_configuration.store->value(kAccessTokenKey);
}

std::optional<QString> Session::tokenOrigin() const
{
    const std::optional<QString> issuer = m_configuration.store->value(kTokenOriginKey);
    if (!issuer || !m_configuration.store->value(kAccessTokenKey) || issuer == serviceOrigin())
        return std::nullopt;
    return issuer;
}

void Session::noteTokenElsewhere()
{
    const std::optional<QString> issuer = tokenOrigin();
    if (!issuer)
        return;
    if (const std::optional<QString> origin = serviceOrigin())
        setSignedOutMessage(QStringLiteral("You are signed in to the service at %1, not to the one set now (%2). "
                                           "Sign in again here, or set the service back.")
                                .arg(*issuer, *origin));
    else
        setSignedOutMessage(QStringLiteral("The service's address cannot be used: %1. Your sign-in at %2 is kept for "
                                           "when it can.")
                                .arg(configurationError(), *issuer));
}

bool Session::setAccessToken(const std::optional<QString>& token)
{
    const bool stored = m_configuration.store->setValue(kAccessTokenKey, token)
        && m_configuration.store->setValue(kTokenOriginKey, token ? serviceOrigin() : std::nullopt);
    if (token && stored)
        setSignedOutMessage({});
    Q_EMIT accessTokenChanged();
    if (accessToken())
        fetchAccount();
    return stored;
}

QString Session::settingsPath() const
{
    return m_configuration.store->path();
}

void Session::setAccount(const std::optional<Account>& account)
{
    if (m_account == account)
        return;
    m_account = account;
    Q_EMIT accountChanged();
}

void Session::setSignedOutMessage(const QString& message)
{
    if (m_signedOutMessage == message)
        return;
    m_signedOutMessage = message;
    Q_EMIT signedOutMessageChanged();
}

std::optional<QString> Session::serviceOrigin() const
{
    if (const auto* endpoints = std::get_if<settings::Endpoints>(&m_configuration.endpoints))
        return endpoints->service;
    return std::nullopt;
}

void Session::setEndpoints(std::variant<settings::Endpoints, QString> endpoints)
{
    if (m_configuration.endpoints == endpoints)
        return;
    m_configuration.endpoints = std::move(endpoints);
    noteTokenElsewhere();
    Q_EMIT endpointsChanged();
}

QString Session::configurationError() const
{
    if (const auto* error = std::get_if<QString>(&m_configuration.endpoints))
        return *error;
    return {};
}

QCoro::Task<Session::AccountOutcome> Session::requestAccount()
{
    const std::optional<QString> token = accessToken();
    if (!token)
        co_return AccountOutcome { std::nullopt,
            ServiceError { ServiceError::Kind::UserAuthenticationRequired, 0, {} } };
    AccountOutcome outcome = co_await requestAccountFor(*token);
    co_return outcome;
}

QCoro::Task<Session::AccountOutcome> Session::ownerOf(QString token)
{
    const std::shared_ptr<bool> alive = m_alive;
    AccountOutcome owner = co_await requestAccountFor(token);
    if (*alive && owner.error && owner.error->refusesToken())
        tokenRefused(token);
    co_return owner;
}

QCoro::Task<Session::AccountOutcome> Session::requestAccountFor(QString token)
{
    const auto origin = serviceOrigin();
    if (!origin)
        co_return AccountOutcome { std::nullopt, ServiceError { ServiceError::Kind::BadURL, 0, configurationError() } };
    const auto url = service_urls::account(*origin);
    const auto request = url ? bearerRequest(*url, "GET", token) : std::nullopt;
    if (!request)
        co_return AccountOutcome { std::nullopt,
            ServiceError { ServiceError::Kind::BadURL, 0,
                QStringLiteral("the account address or the stored token is unusable") } };
    const http::Reply reply = co_await m_http.send(*request);
    if (reply.error)
        co_return AccountOutcome { std::nullopt,
            ServiceError { ServiceError::Kind::Transport, 0, reply.error->message } };
    if (reply.status != 200)
        co_return AccountOutcome { std::nullopt,
            ServiceError { ServiceError::Kind::BadServerResponse, reply.status, {},
                ServiceError::parseRetryAfter(reply.retryAfter, QDateTime::currentDateTimeUtc()) } };
    Result<Account> decoded = decodeAccount(reply.body);
    if (!decoded)
        co_return AccountOutcome { std::nullopt,
            ServiceError { ServiceError::Kind::BadServerResponse, 200, decoded.error } };
    co_return AccountOutcome { std::move(decoded.value), std::nullopt };
}

QCoro::Task<> Session::fetchAccount()
{
    const std::optional<QString> token = accessToken();
    if (!token)
        co_return;
    const std::shared_ptr<bool> alive = m_alive;
    const AccountOutcome outcome = co_await requestAccount();
    // An answer about a token that was signed out or replaced meanwhile says
    // nothing about the author who is signed in now.
    if (!*alive || accessToken() != token)
        co_return;
    if (!outcome.error) {
        setAccount(outcome.account);
        co_return;
    }
    if (outcome.error->refusesToken()) {
        tokenRefused(*token);
        co_return;
    }
    switch (outcome.error->kind) {
    case ServiceError::Kind::Transport:
        setAccount(std::nullopt);
        break;
    case ServiceError::Kind::BadServerResponse:
        // A refusal (401 and the like) leaves the account as it was; an
        // answer that does not decode clears it.
        if (outcome.error->status == 200)
            setAccount(std::nullopt);
        break;
    case ServiceError::Kind::UserAuthenticationRequired:
    case ServiceError::Kind::Unknown:
    case ServiceError::Kind::BadURL:
        break;
    }
}

QCoro::Task<std::optional<ServiceError>> Session::signOut()
{
    const std::optional<QString> token = accessToken();
    if (!token && tokenOrigin()) {
        // Another service's sign-in stays for when that service is set again.
        setAccount(std::nullopt);
        co_return std::nullopt;
    }
    if (!token) {
        // Another program may have taken the token away: what is shown signed in still signs out.
        setSignedOutMessage({});
        setAccessToken(std::nullopt);
        setAccount(std::nullopt);
        co_return std::nullopt;
    }
    // Signed out here first: an unreachable service must not keep the
    // author signed in. A token that stays in the file (a full disk) keeps
    // them signed in, though, so then nothing else changes either.
    if (!m_configuration.store->setValue(kAccessTokenKey, std::nullopt))
        co_return ServiceError { ServiceError::Kind::Unknown, 0,
            QStringLiteral("the access token could not be removed from %1 (is the disk full?), so you are still "
                           "signed in; make room and sign out again")
                .arg(settingsPath()) };
    setSignedOutMessage({});
    setAccessToken(std::nullopt);
    setAccount(std::nullopt);
    const std::shared_ptr<bool> alive = m_alive;
    const std::optional<ServiceError> error = co_await revoke(*token);
    // Signed out here, the author learns that the token lives on there,
    // unless they signed in again meanwhile.
    if (error && *alive && !accessToken())
        setSignedOutMessage(QStringLiteral("Signed out here, but the service could not end the sign-in (%1): it "
                                           "stays valid there until it expires.")
                                .arg(error->message()));
    co_return error;
}

QCoro::Task<std::optional<ServiceError>> Session::revoke(QString token)
{
    const auto origin = serviceOrigin();
    if (!origin)
        co_return ServiceError { ServiceError::Kind::BadURL, 0, configurationError() };
    const auto url = service_urls::accessToken(*origin);
    const auto request = url ? bearerRequest(*url, "DELETE", token) : std::nullopt;
    if (!request)
        co_return ServiceError { ServiceError::Kind::BadURL, 0, QStringLiteral("the stored token cannot be sent") };
    const http::Reply reply = co_await m_http.send(*request);
    if (reply.error)
        co_return ServiceError { ServiceError::Kind::Transport, 0, reply.error->message };
    // 401: the service had already forgotten the token, which is what we asked.
    if (reply.status != 200 && reply.status != 401)
        co_return ServiceError { ServiceError::Kind::BadServerResponse, reply.status, {} };
    co_return std::nullopt;
}

void Session::tokenRefused(const QString& token)
{
    if (accessToken() != token)
        return;
    // The message first, so that whoever reacts to the token's change can show it.
    setSignedOutMessage(QStringLiteral("You were signed out: your sign-in has expired or was ended elsewhere. Sign "
                                       "in again to see your light shows."));
    setAccessToken(std::nullopt);
    setAccount(std::nullopt);
}

} // namespace corvex::service
