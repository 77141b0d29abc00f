#pragma once

#include <QHashFunctions>
#include <QList>
#include <QString>

#include <optional>
#include <variant>

namespace corvex::catalogue {

// The catalogue's records as they arrive in its JSON; member names are the
// JSON's own. Integers are 64-bit; absent or null optional members are none.

struct TMDBMovie {
    qint64 id = 0;
    std::optional<QString> title;
    std::optional<QString> release_date; // the catalogue's text, never parsed
    std::optional<QString> overview;
    std::optional<QString> poster_path; // below the image size prefix, normally starting with "/"
    friend bool operator==(const TMDBMovie&, const TMDBMovie&) = default;
};

struct TMDBTVShow {
    qint64 id = 0;
    std::optional<QString> name;
    std::optional<QString> first_air_date;
    std::optional<QString> overview;
    std::optional<QString> poster_path;
    friend bool operator==(const TMDBTVShow&, const TMDBTVShow&) = default;
};

struct TMDBSeason {
    qint64 id = 0;
    qint64 season_number = 0; // 0 is the specials season
    std::optional<QString> name;
    std::optional<qint64> episode_count;
    friend bool operator==(const TMDBSeason&, const TMDBSeason&) = default;
};

inline size_t qHash(const TMDBSeason& season, size_t seed = 0) noexcept
{
    return qHashMulti(seed, season.id, season.season_number, season.name.value_or(QString()), season.name.has_value(),
        season.episode_count.value_or(0), season.episode_count.has_value());
}

struct TMDBEpisode {
    qint64 id = 0;
    qint64 episode_number = 0;
    std::optional<QString> name;
    friend bool operator==(const TMDBEpisode&, const TMDBEpisode&) = default;
};

/// One multi-search result: a film or a TV show.
struct TMDBSearchResult {
    std::variant<TMDBMovie, TMDBTVShow> value;

    bool isMovie() const { return std::holds_alternative<TMDBMovie>(value); }
    const TMDBMovie* movie() const { return std::get_if<TMDBMovie>(&value); }
    const TMDBTVShow* tvShow() const { return std::get_if<TMDBTVShow>(&value); }
    /// The id of the record carried.
    qint64 id() const
    {
        return std::visit([](const auto& record) { return record.id; }, value);
    }
    friend bool operator==(const TMDBSearchResult&, const TMDBSearchResult&) = default;
};

struct TMDBSearchResponse {
    QList<TMDBSearchResult> results;
};

struct TMDBTVDetails {
    qint64 id = 0;
    std::optional<QString> name;
    QList<TMDBSeason> seasons;
};

struct TMDBSeasonDetails {
    qint64 id = 0;
    QList<TMDBEpisode> episodes;
};

} // namespace corvex::catalogue
