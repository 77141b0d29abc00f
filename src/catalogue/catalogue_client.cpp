#include "catalogue/catalogue_client.h"

#include "platform/http/http_client.h"

#include "catalogue/tmdb_decoding.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace corvex::catalogue {

namespace {

QString encoded(const QString& text)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(text));
}

// Why an answer that is not a list of results was refused, in words: what
// the status means, with the catalogue's own reason when it gives one.
QString refusal(int status, const QByteArray& body, const QString& decodingError)
{
    const QString reason = QJsonDocument::fromJson(body).object().value(QStringLiteral("status_message")).toString();
    const QString because = reason.isEmpty() ? QString() : QStringLiteral(": “%1”").arg(reason.trimmed());
    if (status == 429)
        return QStringLiteral("the catalogue is receiving too many requests (status 429)%1; wait a moment and try "
                              "again")
            .arg(because);
    if (status == 401)
        return QStringLiteral("the catalogue refused the studio's API key (status 401)%1").arg(because);
    if (status == 404)
        return QStringLiteral("the catalogue does not know this title or season (status 404)%1").arg(because);
    if (status >= 500)
        return QStringLiteral("the catalogue had a problem on its side (status %1)%2; try again later")
            .arg(status)
            .arg(because);
    if (status >= 300 || status < 200)
        return QStringLiteral("the catalogue refused the request (status %1)%2").arg(status).arg(because);
    return QStringLiteral("the catalogue's answer could not be read: %1").arg(decodingError);
}

template <typename T, typename Record>
QCoro::Task<CatalogueResult<T>> fetch(http::Client& client, std::optional<QUrl> url,
    Result<Record> (*decode)(const QByteArray&), QList<T> Record::*member)
{
    CatalogueResult<T> result;
    if (!url) {
        result.outcome = CatalogueResult<T>::Outcome::NoUrl;
        result.error = QStringLiteral("the catalogue address is not a valid URL");
        co_return result;
    }
    http::Request request;
    request.url = *url;
    const http::Reply reply = co_await client.send(request);
    if (reply.error) {
        result.error = reply.error->message;
        co_return result;
    }
    Result<Record> decoded = decode(reply.body);
    if (!decoded) {
        // An error status whose body happens to decode counts as an answer;
        // only one that does not is told by its status.
        result.error = refusal(reply.status, reply.body, decoded.error);
        co_return result;
    }
    result.outcome = CatalogueResult<T>::Outcome::Succeeded;
    result.items = std::move((*decoded.value).*member);
    co_return result;
}

} // namespace

CatalogueClient::CatalogueClient(settings::Endpoints endpoints, http::Client& client)
    : m_endpoints(std::move(endpoints))
    , m_client(client)
{
}

std::optional<QUrl> CatalogueClient::searchUrl(const settings::Endpoints& endpoints, const QString& text)
{
    return http::absoluteUrl(endpoints.catalogue + QStringLiteral("/3/search/multi?api_key=")
        + encoded(endpoints.tmdbApiKey) + QStringLiteral("&query=") + encoded(text));
}

std::optional<QUrl> CatalogueClient::tvDetailsUrl(const settings::Endpoints& endpoints, qint64 showId)
{
    return http::absoluteUrl(endpoints.catalogue + QStringLiteral("/3/tv/") + QString::number(showId)
        + QStringLiteral("?api_key=") + encoded(endpoints.tmdbApiKey));
}

std::optional<QUrl> CatalogueClient::seasonDetailsUrl(
    const settings::Endpoints& endpoints, qint64 showId, qint64 seasonNumber)
{
    return http::absoluteUrl(endpoints.catalogue + QStringLiteral("/3/tv/") + QString::number(showId)
        + QStringLiteral("/season/") + QString::number(seasonNumber) + QStringLiteral("?api_key=")
        + encoded(endpoints.tmdbApiKey));
}

std::optional<QUrl> CatalogueClient::posterUrl(const settings::Endpoints& endpoints, const QString& posterPath)
{
    return http::absoluteUrl(endpoints.images + QStringLiteral("/t/p/w92") + posterPath);
}

QCoro::Task<CatalogueResult<TMDBSearchResult>> CatalogueClient::search(QString text)
{
    // Each address is a named value: GCC 12 may destroy temporaries in an awaited call twice.
    std::optional<QUrl> url = searchUrl(m_endpoints, text);
    co_return co_await fetch(m_client, std::move(url), decodeSearchResponse, &TMDBSearchResponse::results);
}

QCoro::Task<CatalogueResult<TMDBSeason>> CatalogueClient::seasons(TMDBTVShow show)
{
    std::optional<QUrl> url = tvDetailsUrl(m_endpoints, show.id);
    co_return co_await fetch(m_client, std::move(url), decodeTVDetails, &TMDBTVDetails::seasons);
}

QCoro::Task<CatalogueResult<TMDBEpisode>> CatalogueClient::episodes(TMDBTVShow show, qint64 seasonNumber)
{
    std::optional<QUrl> url = seasonDetailsUrl(m_endpoints, show.id, seasonNumber);
    co_return co_await fetch(m_client, std::move(url), decodeSeasonDetails, &TMDBSeasonDetails::episodes);
}

} // namespace corvex::catalogue
