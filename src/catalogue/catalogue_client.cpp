#include "catalogue/catalogue_client.h"

#include "platform/http/http_client.h"

#include "catalogue/tmdb_decoding.h"

namespace corvex::catalogue {

namespace {

QString encoded(const QString& text)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(text));
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
        result.error = QStringLiteral("the catalogue's answer (status %1) could not be read: %2")
                           .arg(reply.status)
                           .arg(decoded.error);
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
