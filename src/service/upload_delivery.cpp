#include "service/upload_delivery.h"

#include "service/service_urls.h"
#include "service/session.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

namespace corvex::service {

namespace {

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

} // namespace

UploadDelivery& UploadDelivery::shared()
{
    // Owned by the application object: it lives as long as the process runs.
    static UploadDelivery* delivery
        = new UploadDelivery(Session::shared(), std::make_shared<Outbox>(), QCoreApplication::instance());
    return *delivery;
}

UploadDelivery::UploadDelivery(Session& session, std::shared_ptr<Outbox> outbox, QObject* parent)
    : QObject(parent)
    , m_session(session)
    , m_outbox(std::move(outbox))
{
}

UploadDelivery::~UploadDelivery()
{
    // Requests still in flight end by themselves; their coroutines see that we are gone.
    *m_alive = false;
}

UploadDelivery::Alive UploadDelivery::alive() const
{
    return { m_alive, m_session.lifetime() };
}

QCoro::Task<std::optional<ServiceError>> UploadDelivery::uploadLightShowFor(
    QByteArray recording, catalogue::TMDBItem item, QString key)
{
    const std::optional<QString> token = m_session.accessToken();
    if (!token)
        co_return ServiceError { ServiceError::Kind::UserAuthenticationRequired, 0, {} };
    std::optional<ServiceError> error = co_await send(std::move(recording), std::move(item), std::move(key), *token);
    co_return error;
}

QCoro::Task<std::optional<ServiceError>> UploadDelivery::send(
    QByteArray recording, catalogue::TMDBItem item, QString key, QString token)
{
    const auto origin = m_session.serviceOrigin();
    if (!origin)
        co_return ServiceError { ServiceError::Kind::BadURL, 0, m_session.configurationError() };
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
    const Alive alive = this->alive();
    const http::Reply reply = co_await m_session.httpClient().send(*request);
    if (reply.error)
        co_return ServiceError { ServiceError::Kind::Transport, 0, reply.error->message };
    if (reply.status == 401 && alive)
        m_session.tokenRefused(token);
    if (reply.status != 200)
        co_return ServiceError { ServiceError::Kind::BadServerResponse, reply.status,
            ServiceError::reasonIn(reply.body),
            ServiceError::parseRetryAfter(reply.retryAfter, QDateTime::currentDateTimeUtc()) };
    const QString showId = QJsonDocument::fromJson(reply.body).object().value(QStringLiteral("id")).toString();
    if (alive && !showId.isEmpty())
        Q_EMIT lightShowStored(showId, item, recording);
    co_return std::nullopt;
}

namespace {

// Whether `author`, holding the token with `tokenHash`, may send `entry`. An
// entry of no known author goes when it was saved under this very token, when
// asked for, or when the sender is not known either (the first attempt right
// after the save).
std::optional<UploadDelivery::Delivery> refusal(
    const Outbox::Entry& entry, const QString& author, const QString& tokenHash, UploadDelivery::Adopt adopt)
{
    if (!entry.accountId.isEmpty())
        return entry.accountId == author ? std::nullopt : std::optional(UploadDelivery::Delivery::OtherAuthor);
    if (!entry.tokenHash.isEmpty() && entry.tokenHash == tokenHash)
        return std::nullopt;
    if (author.isEmpty() || adopt == UploadDelivery::Adopt::UnknownAuthor)
        return std::nullopt;
    return UploadDelivery::Delivery::UnknownAuthor;
}

ServiceError outboxError(const QString& detail)
{
    return ServiceError { ServiceError::Kind::Unknown, 0, detail };
}

} // namespace

QCoro::Task<UploadDelivery::DeliveryResult> UploadDelivery::deliver(
    Parcel parcel, QString token, QString author, Adopt adopt)
{
    // Held here, so the outbox outlives the attempt even if we do not.
    const std::shared_ptr<Outbox> outbox = m_outbox;
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

QCoro::Task<UploadDelivery::UploadResult> UploadDelivery::uploadLightShow(
    QByteArray recording, std::optional<catalogue::TMDBItem> item, QString madeBy)
{
    UploadResult result;
    const std::optional<QString> token = m_session.accessToken();
    const std::optional<Account>& account = m_session.account();
    const QString signedIn = account ? account->id : QString();
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
    const std::shared_ptr<Outbox> outbox = m_outbox;
    if (outbox && item && item->isComplete()) {
        if (const Result<QString> id
            = outbox->add(recording, *item, author, token ? Outbox::tokenHash(*token) : QString(),
                account && account->id == author ? account->email : QString())) {
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
    const Alive alive = this->alive();
    const DeliveryResult delivered = co_await deliver(result.parcel, *token, signedIn, Adopt::No);
    result.delivery = delivered.delivery;
    result.error = delivered.error;
    if (alive && result.succeeded())
        Q_EMIT lightShowsChanged();
    co_return result;
}

QCoro::Task<UploadDelivery::DeliveryResult> UploadDelivery::retry(Parcel parcel, Adopt adopt)
{
    const std::optional<QString> token = m_session.accessToken();
    if (!token)
        co_return DeliveryResult { Delivery::Failed,
            ServiceError { ServiceError::Kind::UserAuthenticationRequired, 0, {} } };
    const Alive alive = this->alive();
    const Session::AccountOutcome owner = co_await m_session.ownerOf(*token);
    if (!alive)
        co_return DeliveryResult { Delivery::Failed, ServiceError { ServiceError::Kind::Transport, 0, {} } };
    if (owner.error)
        co_return DeliveryResult { Delivery::Failed, owner.error };
    DeliveryResult result = co_await deliver(std::move(parcel), *token, owner.account->id, adopt);
    if (alive && result.delivery == Delivery::Sent)
        Q_EMIT lightShowsChanged();
    co_return result;
}

QCoro::Task<UploadDelivery::RetryReport> UploadDelivery::retryOutbox()
{
    RetryReport report;
    const std::shared_ptr<Outbox> outbox = m_outbox;
    if (!outbox)
        co_return report;
    const std::optional<QString> token = m_session.accessToken();
    if (!token) {
        report.error = ServiceError { ServiceError::Kind::UserAuthenticationRequired, 0, {} };
        co_return report;
    }
    const Alive alive = this->alive();
    const Session::AccountOutcome owner = co_await m_session.ownerOf(*token);
    if (!alive)
        co_return report;
    if (owner.error) {
        report.error = owner.error;
        co_return report;
    }
    bool sent = false;
    for (const Outbox::Entry& entry : outbox->entries()) {
        if (entry.refusedForGood()) {
            ++report.refusedLeft;
            continue;
        }
        // No temporaries in the awaited call: GCC 12 destroys them twice when
        // they are braced initialisers.
        Parcel parcel { entry, {} };
        DeliveryResult result = co_await deliver(std::move(parcel), *token, owner.account->id, Adopt::No);
        if (!alive)
            co_return report;
        sent = sent || result.delivery == Delivery::Sent;
        report.results.append(RetryResult { entry.id, entry.item, entry.accountId, std::move(result) });
    }
    if (sent)
        Q_EMIT lightShowsChanged();
    co_return report;
}

} // namespace corvex::service
