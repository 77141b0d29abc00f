#include "service/app_manager.h"

#include "service/outbox.h"
#include "service/service_urls.h"

#include "platform/settings/store.h"

#include <QCoreApplication>

namespace corvex::service {

namespace {

const QString kAccessTokenKey = QStringLiteral("access_token");

// The upload address for an item: the movie when there is one, otherwise the
// show with its season and episode numbers.
std::optional<QUrl> uploadUrl(const QString& origin, const catalogue::TMDBItem& item, bool& shapeIsValid)
{
    shapeIsValid = true;
    if (item.movie)
        return service_urls::movieUpload(origin, item.movie->id);
    if (item.tvShow && item.season && item.episode)
        return service_urls::episodeUpload(
            origin, item.tvShow->id, item.season->season_number, item.episode->episode_number);
    shapeIsValid = false;
    return std::nullopt;
}

bool hasUploadShape(const catalogue::TMDBItem& item)
{
    return item.movie || (item.tvShow && item.season && item.episode);
}

} // namespace

AppManager& AppManager::shared()
{
    static AppManager* manager = [] {
        auto store = std::make_shared<settings::Store>();
        auto endpoints = settings::Endpoints::load(*store);
        // Owned by the application object: it lives as long as the process runs.
        return new AppManager(
            { std::move(store), std::move(endpoints), std::make_shared<Outbox>() }, QCoreApplication::instance());
    }();
    return *manager;
}

AppManager::AppManager(Configuration configuration, QObject* parent)
    : QObject(parent)
    , m_configuration(std::move(configuration))
{
    fetchAccount();
}

AppManager::~AppManager()
{
    // Requests still in flight end now, while every member is intact; their
    // coroutines see that we are gone and stop.
    *m_alive = false;
    m_http.abortAll();
}

std::optional<QString> AppManager::accessToken() const
{
    return m_configuration.store->value(kAccessTokenKey);
}

bool AppManager::setAccessToken(const std::optional<QString>& token)
{
    const bool stored = m_configuration.store->setValue(kAccessTokenKey, token);
    if (token && stored)
        setSignedOutMessage({});
    Q_EMIT accessTokenChanged();
    if (accessToken())
        fetchAccount();
    return stored;
}

QString AppManager::settingsPath() const
{
    return m_configuration.store->path();
}

void AppManager::setAccount(const std::optional<Account>& account)
{
    if (m_account == account)
        return;
    m_account = account;
    Q_EMIT accountChanged();
}

void AppManager::setSignedOutMessage(const QString& message)
{
    if (m_signedOutMessage == message)
        return;
    m_signedOutMessage = message;
    Q_EMIT signedOutMessageChanged();
}

void AppManager::setCurrentItem(const std::optional<catalogue::TMDBItem>& item)
{
    if (m_currentItem == item)
        return;
    m_currentItem = item;
    Q_EMIT currentItemChanged();
}

std::optional<QString> AppManager::serviceOrigin() const
{
    if (const auto* endpoints = std::get_if<settings::Endpoints>(&m_configuration.endpoints))
        return endpoints->service;
    return std::nullopt;
}

QString AppManager::configurationError() const
{
    if (const auto* error = std::get_if<QString>(&m_configuration.endpoints))
        return *error;
    return {};
}

QCoro::Task<AppManager::AccountOutcome> AppManager::requestAccount()
{
    const std::optional<QString> token = accessToken();
    if (!token)
        co_return AccountOutcome { std::nullopt,
            ServiceError { ServiceError::Kind::UserAuthenticationRequired, 0, {} } };
    const auto origin = serviceOrigin();
    if (!origin)
        co_return AccountOutcome { std::nullopt, ServiceError { ServiceError::Kind::BadURL, 0, configurationError() } };
    const auto url = service_urls::account(*origin);
    const auto request = url ? bearerRequest(*url, "GET", *token) : std::nullopt;
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
            ServiceError { ServiceError::Kind::BadServerResponse, reply.status, {} } };
    http::Decoded<Account> decoded = decodeAccount(reply.body);
    if (!decoded)
        co_return AccountOutcome { std::nullopt,
            ServiceError { ServiceError::Kind::BadServerResponse, 200, decoded.error } };
    co_return AccountOutcome { std::move(decoded.value), std::nullopt };
}

QCoro::Task<> AppManager::fetchAccount()
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
    if (outcome.error->kind == ServiceError::Kind::BadServerResponse && outcome.error->status == 401) {
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

QCoro::Task<std::optional<ServiceError>> AppManager::uploadLightShowFor(QByteArray recording, catalogue::TMDBItem item)
{
    const std::optional<QString> token = accessToken();
    if (!token)
        co_return ServiceError { ServiceError::Kind::UserAuthenticationRequired, 0, {} };
    const auto origin = serviceOrigin();
    if (!origin)
        co_return ServiceError { ServiceError::Kind::BadURL, 0, configurationError() };
    bool shapeIsValid = true;
    const auto url = uploadUrl(*origin, item, shapeIsValid);
    if (!url)
        co_return ServiceError { ServiceError::Kind::BadURL, 0,
            shapeIsValid ? QStringLiteral("the address is not a valid URL")
                         : QStringLiteral("the selection has neither a movie nor a show with season and episode") };
    auto request = bearerRequest(*url, "POST", *token);
    if (!request)
        co_return ServiceError { ServiceError::Kind::BadURL, 0,
            QStringLiteral("the stored access token cannot be sent; sign in again") };
    request->headers.append(
        qMakePair(QByteArrayLiteral("Content-Type"), QByteArrayLiteral("application/octet-stream")));
    request->body = recording;
    const std::shared_ptr<bool> alive = m_alive;
    const http::Reply reply = co_await m_http.send(*request);
    if (reply.error)
        co_return ServiceError { ServiceError::Kind::Transport, 0, reply.error->message };
    if (reply.status == 401 && *alive)
        tokenRefused(*token);
    if (reply.status != 200)
        co_return ServiceError { ServiceError::Kind::BadServerResponse, reply.status, {} };
    co_return std::nullopt;
}

QCoro::Task<std::optional<ServiceError>> AppManager::signOut()
{
    const std::optional<QString> token = accessToken();
    if (!token)
        co_return std::nullopt;
    // Signed out here first: an unreachable service must not keep the
    // author signed in.
    setSignedOutMessage({});
    setAccessToken(std::nullopt);
    setAccount(std::nullopt);
    const auto origin = serviceOrigin();
    if (!origin)
        co_return ServiceError { ServiceError::Kind::BadURL, 0, configurationError() };
    const auto url = service_urls::accessToken(*origin);
    const auto request = url ? bearerRequest(*url, "DELETE", *token) : std::nullopt;
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

void AppManager::tokenRefused(const QString& token)
{
    if (accessToken() != token)
        return;
    // The message first, so that whoever reacts to the token's change can show it.
    setSignedOutMessage(QStringLiteral("You were signed out: your sign-in has expired or was ended elsewhere. Sign "
                                       "in again to see your light shows."));
    setAccessToken(std::nullopt);
    setAccount(std::nullopt);
}

QCoro::Task<AppManager::UploadResult> AppManager::uploadLightShow(QByteArray recording)
{
    UploadResult result;
    const bool signedIn = accessToken().has_value();
    const std::optional<catalogue::TMDBItem> item = m_currentItem;
    // Keep a copy before anything can fail, unless the selection could never
    // be uploaded at all.
    std::shared_ptr<Outbox> outbox = m_configuration.outbox;
    if (outbox && item && hasUploadShape(*item)) {
        if (auto id = outbox->add(recording, *item, result.outboxError))
            result.outboxId = *id;
    }
    if (!signedIn)
        result.error = ServiceError { ServiceError::Kind::UserAuthenticationRequired, 0, {} };
    else if (!item)
        result.error = ServiceError { ServiceError::Kind::Unknown, 0, {} };
    else
        result.error = co_await uploadLightShowFor(recording, *item);
    // The outbox is shared, so it is still there even if we are not.

    if (outbox && !result.outboxId.isEmpty()) {
        if (result.succeeded())
            outbox->remove(result.outboxId);
        else
            outbox->recordFailure(result.outboxId, result.error->message());
    }
    co_return result;
}

QCoro::Task<QList<AppManager::RetryResult>> AppManager::retryOutbox()
{
    QList<RetryResult> results;
    std::shared_ptr<Outbox> outbox = m_configuration.outbox;
    if (!outbox)
        co_return results;
    const std::shared_ptr<bool> alive = m_alive;
    for (const Outbox::Entry& entry : outbox->entries()) {
        const auto recording = outbox->recording(entry.id);
        if (!recording)
            continue;
        // Awaited on its own line: GCC 12 destroys temporaries twice when
        // co_await sits inside a braced initialiser.
        std::optional<ServiceError> error = co_await uploadLightShowFor(*recording, entry.item);
        RetryResult result { entry.id, entry.item, std::move(error) };
        if (!*alive)
            co_return results;
        if (result.error)
            outbox->recordFailure(entry.id, result.error->message());
        else
            outbox->remove(entry.id);
        results.append(std::move(result));
    }
    co_return results;
}

} // namespace corvex::service
