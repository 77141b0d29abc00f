#include "service/app_manager.h"

#include "service/outbox.h"
#include "service/service_urls.h"

#include "platform/settings/store.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

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

void AppManager::setEndpoints(std::variant<settings::Endpoints, QString> endpoints)
{
    if (m_configuration.endpoints == endpoints)
        return;
    m_configuration.endpoints = std::move(endpoints);
    Q_EMIT endpointsChanged();
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
    AccountOutcome outcome = co_await requestAccountFor(*token);
    co_return outcome;
}

QCoro::Task<AppManager::AccountOutcome> AppManager::requestAccountFor(QString token)
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

QCoro::Task<std::optional<ServiceError>> AppManager::uploadLightShowFor(
    QByteArray recording, catalogue::TMDBItem item, QString key)
{
    const std::optional<QString> token = accessToken();
    if (!token)
        co_return ServiceError { ServiceError::Kind::UserAuthenticationRequired, 0, {} };
    std::optional<ServiceError> error = co_await send(std::move(recording), std::move(item), std::move(key), *token);
    co_return error;
}

QCoro::Task<std::optional<ServiceError>> AppManager::send(
    QByteArray recording, catalogue::TMDBItem item, QString key, QString token)
{
    const auto origin = serviceOrigin();
    if (!origin)
        co_return ServiceError { ServiceError::Kind::BadURL, 0, configurationError() };
    bool shapeIsValid = true;
    const auto url = uploadUrl(*origin, item, shapeIsValid);
    if (!url)
        co_return ServiceError { ServiceError::Kind::BadURL, 0,
            shapeIsValid ? QStringLiteral("the address is not a valid URL")
                         : QStringLiteral("the selection has neither a movie nor a show with season and episode") };
    auto request = bearerRequest(*url, "POST", token);
    if (!request)
        co_return ServiceError { ServiceError::Kind::BadURL, 0,
            QStringLiteral("the stored access token cannot be sent; sign in again") };
    request->headers.append(
        qMakePair(QByteArrayLiteral("Content-Type"), QByteArrayLiteral("application/octet-stream")));
    // The same key on every attempt (and on the network layer's own resend
    // after a dropped connection) lets the service store the recording once.
    if (!key.isEmpty())
        request->headers.append(qMakePair(QByteArrayLiteral("Idempotency-Key"), key.toLatin1()));
    request->body = recording;
    const std::shared_ptr<bool> alive = m_alive;
    const http::Reply reply = co_await m_http.send(*request);
    if (reply.error)
        co_return ServiceError { ServiceError::Kind::Transport, 0, reply.error->message };
    if (reply.status == 401 && *alive)
        tokenRefused(token);
    if (reply.status != 200)
        co_return ServiceError { ServiceError::Kind::BadServerResponse, reply.status, {},
            ServiceError::parseRetryAfter(reply.retryAfter, QDateTime::currentDateTimeUtc()) };
    const QString showId = QJsonDocument::fromJson(reply.body).object().value(QStringLiteral("id")).toString();
    if (*alive && !showId.isEmpty())
        Q_EMIT lightShowStored(showId, item, recording);
    co_return std::nullopt;
}

QCoro::Task<std::optional<ServiceError>> AppManager::signOut()
{
    const std::optional<QString> token = accessToken();
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

namespace {

// Whether `author`, holding the token with `tokenHash`, may send `entry`. An
// entry of no known author goes when it was saved under this very token, when
// asked for, or when the sender is not known either (the first attempt right
// after the save).
std::optional<AppManager::Delivery> refusal(
    const Outbox::Entry& entry, const QString& author, const QString& tokenHash, AppManager::Adopt adopt)
{
    if (!entry.accountId.isEmpty())
        return entry.accountId == author ? std::nullopt : std::optional(AppManager::Delivery::OtherAuthor);
    if (!entry.tokenHash.isEmpty() && entry.tokenHash == tokenHash)
        return std::nullopt;
    if (author.isEmpty() || adopt == AppManager::Adopt::UnknownAuthor)
        return std::nullopt;
    return AppManager::Delivery::UnknownAuthor;
}

ServiceError outboxError(const QString& detail)
{
    return ServiceError { ServiceError::Kind::Unknown, 0, detail };
}

} // namespace

QCoro::Task<AppManager::DeliveryResult> AppManager::deliver(Parcel parcel, QString token, QString author, Adopt adopt)
{
    // Held here, so the outbox outlives the attempt even if we do not.
    const std::shared_ptr<Outbox> outbox = m_configuration.outbox;
    const QString tokenHash = Outbox::tokenHash(token);
    if (const auto refused = refusal(parcel.entry, author, tokenHash, adopt))
        co_return DeliveryResult { *refused, std::nullopt };
    std::unique_ptr<Outbox::Taken> taken;
    QByteArray recording = std::move(parcel.recording);
    if (!parcel.entry.id.isEmpty()) {
        if (!outbox)
            co_return DeliveryResult { Delivery::Gone, std::nullopt };
        auto took = outbox->take(parcel.entry.id);
        if (!took) {
            switch (took.error.status) {
            case Outbox::TakeStatus::Busy:
                co_return DeliveryResult { Delivery::Busy, std::nullopt };
            case Outbox::TakeStatus::Gone:
                co_return DeliveryResult { Delivery::Gone, std::nullopt };
            case Outbox::TakeStatus::Failed:
                break;
            }
            co_return DeliveryResult { Delivery::Failed, outboxError(took.error.message) };
        }
        taken = std::move(*took.value);
        // What is on disk decides, not the caller's older copy.
        parcel.entry = taken->entry();
        if (const auto refused = refusal(parcel.entry, author, tokenHash, adopt))
            co_return DeliveryResult { *refused, std::nullopt };
        if (parcel.entry.accountId.isEmpty() && !author.isEmpty())
            taken->adoptAuthor(author);
        const std::optional<QByteArray> stored = taken->recording();
        if (!stored) {
            const ServiceError error = outboxError(
                QStringLiteral("the recording %1 in %2 cannot be read").arg(parcel.entry.id, outbox->folder()));
            taken->recordFailure(error.message());
            co_return DeliveryResult { Delivery::Failed, error };
        }
        recording = *stored;
    }
    std::optional<ServiceError> error
        = co_await send(std::move(recording), parcel.entry.item, parcel.entry.key, std::move(token));
    if (error) {
        if (taken)
            taken->recordFailure(
                error->message(), error->kind == ServiceError::Kind::BadServerResponse ? error->status : 0);
        co_return DeliveryResult { Delivery::Failed, std::move(error) };
    }
    if (taken)
        taken->remove();
    co_return DeliveryResult { Delivery::Sent, std::nullopt };
}

QCoro::Task<AppManager::UploadResult> AppManager::uploadLightShow(QByteArray recording, QString madeBy)
{
    UploadResult result;
    const std::optional<QString> token = accessToken();
    const std::optional<catalogue::TMDBItem> item = m_currentItem;
    const QString signedIn = m_account ? m_account->id : QString();
    const QString author = madeBy.isEmpty() ? signedIn : madeBy;
    if (item) {
        result.parcel.entry.item = *item;
        result.parcel.entry.accountId = author;
        if (author.isEmpty() && token)
            result.parcel.entry.tokenHash = Outbox::tokenHash(*token);
        result.parcel.entry.key = QUuid::createUuid().toString(QUuid::WithoutBraces);
    }
    // Keep a copy before anything can fail, unless the selection could never
    // be uploaded at all.
    const std::shared_ptr<Outbox> outbox = m_configuration.outbox;
    if (outbox && item && hasUploadShape(*item)) {
        if (const Result<QString> id
            = outbox->add(recording, *item, author, token ? Outbox::tokenHash(*token) : QString(),
                m_account && m_account->id == author ? m_account->email : QString())) {
            result.outboxId = *id.value;
            if (auto entry = outbox->entry(*id.value))
                result.parcel.entry = *entry;
        } else {
            result.outboxError = id.error;
        }
    }
    if (result.outboxId.isEmpty())
        result.parcel.recording = recording;
    if (!token || !item) {
        result.error = token ? ServiceError { ServiceError::Kind::Unknown, 0, {} }
                             : ServiceError { ServiceError::Kind::UserAuthenticationRequired, 0, {} };
        result.delivery = Delivery::Failed;
        if (outbox && !result.outboxId.isEmpty()) {
            if (const auto taken = outbox->take(result.outboxId))
                (*taken.value)->recordFailure(result.error->message());
        }
        co_return result;
    }
    // The first attempt goes out as whoever holds the token now, and only
    // when that is the recording's author.
    const DeliveryResult delivered = co_await deliver(result.parcel, *token, signedIn, Adopt::No);
    result.delivery = delivered.delivery;
    result.error = delivered.error;
    co_return result;
}

QCoro::Task<AppManager::DeliveryResult> AppManager::retry(Parcel parcel, Adopt adopt)
{
    const std::optional<QString> token = accessToken();
    if (!token)
        co_return DeliveryResult { Delivery::Failed,
            ServiceError { ServiceError::Kind::UserAuthenticationRequired, 0, {} } };
    const std::shared_ptr<bool> alive = m_alive;
    // Whose the token is, asked now: the published account may still be the
    // previous author's while a new sign-in's fetch is under way.
    const AccountOutcome owner = co_await requestAccountFor(*token);
    if (!*alive)
        co_return DeliveryResult { Delivery::Failed, ServiceError { ServiceError::Kind::Transport, 0, {} } };
    if (owner.error) {
        // A token the service refuses signs the author out, as on an upload.
        if (owner.error->kind == ServiceError::Kind::BadServerResponse && owner.error->status == 401)
            tokenRefused(*token);
        co_return DeliveryResult { Delivery::Failed, owner.error };
    }
    DeliveryResult result = co_await deliver(std::move(parcel), *token, owner.account->id, adopt);
    co_return result;
}

QCoro::Task<AppManager::RetryReport> AppManager::retryOutbox(Refused refused)
{
    RetryReport report;
    const std::shared_ptr<Outbox> outbox = m_configuration.outbox;
    if (!outbox)
        co_return report;
    const std::optional<QString> token = accessToken();
    if (!token) {
        report.error = ServiceError { ServiceError::Kind::UserAuthenticationRequired, 0, {} };
        co_return report;
    }
    const std::shared_ptr<bool> alive = m_alive;
    const AccountOutcome owner = co_await requestAccountFor(*token);
    if (!*alive)
        co_return report;
    if (owner.error) {
        // A token the service refuses signs the author out, as on an upload.
        if (owner.error->kind == ServiceError::Kind::BadServerResponse && owner.error->status == 401)
            tokenRefused(*token);
        report.error = owner.error;
        co_return report;
    }
    for (const Outbox::Entry& entry : outbox->entries()) {
        if (refused == Refused::Skip && entry.refusedForGood())
            continue;
        // No temporaries in the awaited call: GCC 12 destroys them twice when
        // they are braced initialisers.
        Parcel parcel { entry, {} };
        DeliveryResult result = co_await deliver(std::move(parcel), *token, owner.account->id, Adopt::No);
        if (!*alive)
            co_return report;
        report.results.append(RetryResult { entry.id, entry.item, entry.accountId, std::move(result) });
    }
    co_return report;
}

} // namespace corvex::service
