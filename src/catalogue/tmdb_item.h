#pragma once

#include "catalogue/tmdb_records.h"

#include <QJsonObject>
#include <QMetaType>

namespace corvex::catalogue {

/// What one recording is made for: a film (`movie` alone) or a TV episode
/// (`tvShow`, `season` and `episode`).
struct TMDBItem {
    std::optional<TMDBMovie> movie;
    std::optional<TMDBTVShow> tvShow;
    std::optional<TMDBSeason> season;
    std::optional<TMDBEpisode> episode;

    static TMDBItem forMovie(TMDBMovie movie) { return { std::move(movie), {}, {}, {} }; }
    static TMDBItem forEpisode(TMDBTVShow show, TMDBSeason season, TMDBEpisode episode)
    {
        return { {}, std::move(show), std::move(season), std::move(episode) };
    }

    /// A film, or a show's episode with its season: what a light show is made for.
    bool isComplete() const { return movie || (tvShow && season && episode); }

    /// A short human description: "Night of the Living Dead (movie 10331)" or
    /// "Show S1E3 (tv 1399/1/3)".
    QString describe() const;

    friend bool operator==(const TMDBItem&, const TMDBItem&) = default;
};

/// The item in our own JSON form, for recordings kept until they are uploaded.
QJsonObject itemToJson(const TMDBItem& item);
/// Reads `itemToJson`'s form back; none when it does not decode.
std::optional<TMDBItem> itemFromJson(const QJsonObject& object);

} // namespace corvex::catalogue

// Declared beside the type, so every user (a test table, a queued signal) sees the same declaration.
Q_DECLARE_METATYPE(corvex::catalogue::TMDBItem)
