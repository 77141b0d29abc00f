#pragma once

#include "catalogue/tmdb_records.h"

#include "platform/http/http_client.h"
#include "platform/settings/endpoints.h"

#include <QCoroTask>

namespace corvex::catalogue {

/// What a catalogue request ended with. Callers show an empty list for both
/// failures; `error` is there for diagnostics and the command-line tool.
template <typename T> struct CatalogueResult {
    enum class Outcome { NoUrl, Failed, Succeeded };
    Outcome outcome = Outcome::Failed;
    QList<T> items;
    QString error;
};

/// The catalogue's three GET requests (multi-search, TV show details, season
/// details) and the poster address. Requests carry only the API key in the
/// query: no header, cookie or user token. The HTTP status is not looked at:
/// any body that decodes is used.
class CatalogueClient final {
public:
    CatalogueClient(settings::Endpoints endpoints, http::Client& client);

    // The request addresses; none when the text does not form a URL.
    // The search text is percent-encoded as one query value, so "&", "=",
    // "+" and "#" typed by the author stay part of the search.
    static std::optional<QUrl> searchUrl(const settings::Endpoints& endpoints, const QString& text);
    static std::optional<QUrl> tvDetailsUrl(const settings::Endpoints& endpoints, qint64 showId);
    static std::optional<QUrl> seasonDetailsUrl(
        const settings::Endpoints& endpoints, qint64 showId, qint64 seasonNumber);
    /// The w92 thumbnail of a poster path.
    static std::optional<QUrl> posterUrl(const settings::Endpoints& endpoints, const QString& posterPath);

    QCoro::Task<CatalogueResult<TMDBSearchResult>> search(QString text);
    QCoro::Task<CatalogueResult<TMDBSeason>> seasons(TMDBTVShow show);
    QCoro::Task<CatalogueResult<TMDBEpisode>> episodes(TMDBTVShow show, qint64 seasonNumber);

    const settings::Endpoints& endpoints() const { return m_endpoints; }

private:
    settings::Endpoints m_endpoints;
    http::Client& m_client;
};

} // namespace corvex::catalogue
