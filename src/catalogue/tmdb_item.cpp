#include "catalogue/tmdb_item.h"

#include "catalogue/tmdb_decoding.h"

namespace corvex::catalogue {

namespace {

void put(QJsonObject& object, const char* key, const std::optional<QString>& value)
{
    if (value)
        object.insert(QLatin1StringView(key), *value);
}

QJsonObject toJson(const TMDBMovie& movie)
{
    QJsonObject object { { QStringLiteral("id"), movie.id } };
    put(object, "title", movie.title);
    put(object, "release_date", movie.release_date);
    put(object, "overview", movie.overview);
    put(object, "poster_path", movie.poster_path);
    return object;
}

QJsonObject toJson(const TMDBTVShow& show)
{
    QJsonObject object { { QStringLiteral("id"), show.id } };
    put(object, "name", show.name);
    put(object, "first_air_date", show.first_air_date);
    put(object, "overview", show.overview);
    put(object, "poster_path", show.poster_path);
    return object;
}

QJsonObject toJson(const TMDBSeason& season)
{
    QJsonObject object { { QStringLiteral("id"), season.id },
        { QStringLiteral("season_number"), season.season_number } };
    put(object, "name", season.name);
    if (season.episode_count)
        object.insert(QStringLiteral("episode_count"), *season.episode_count);
    return object;
}

QJsonObject toJson(const TMDBEpisode& episode)
{
    QJsonObject object { { QStringLiteral("id"), episode.id },
        { QStringLiteral("episode_number"), episode.episode_number } };
    put(object, "name", episode.name);
    return object;
}

// Reads one optional member of the item with `decode`; false when present but broken.
template <typename T>
bool readMember(const QJsonObject& item, const char* key, Result<T> (*decode)(const QJsonObject&, const QString&),
    std::optional<T>& out)
{
    const QJsonValue value = item.value(QLatin1StringView(key));
    if (value.isUndefined() || value.isNull())
        return true;
    if (!value.isObject())
        return false;
    Result<T> decoded = decode(value.toObject(), QLatin1StringView(key));
    out = decoded.value;
    return decoded.value.has_value();
}

} // namespace

QString TMDBItem::describe() const
{
    // A title that is not known (an id given on the command line) is left out, not made up.
    if (movie) {
        const QString code = QStringLiteral("movie %1").arg(movie->id);
        return movie->title ? QStringLiteral("%1 (%2)").arg(*movie->title, code) : code;
    }
    if (tvShow && season && episode) {
        const QString code
            = QStringLiteral("tv %1/%2/%3").arg(tvShow->id).arg(season->season_number).arg(episode->episode_number);
        return tvShow->name ? QStringLiteral("%1 S%2E%3 (%4)")
                                  .arg(*tvShow->name, QString::number(season->season_number),
                                      QString::number(episode->episode_number), code)
                            : code;
    }
    return QStringLiteral("(incomplete selection)");
}

QJsonObject itemToJson(const TMDBItem& item)
{
    QJsonObject object;
    if (item.movie)
        object.insert(QStringLiteral("movie"), toJson(*item.movie));
    if (item.tvShow)
        object.insert(QStringLiteral("tvShow"), toJson(*item.tvShow));
    if (item.season)
        object.insert(QStringLiteral("season"), toJson(*item.season));
    if (item.episode)
        object.insert(QStringLiteral("episode"), toJson(*item.episode));
    return object;
}

std::optional<TMDBItem> itemFromJson(const QJsonObject& object)
{
    TMDBItem item;
    if (!readMember(object, "movie", decodeMovie, item.movie)
        || !readMember(object, "tvShow", decodeTVShow, item.tvShow)
        || !readMember(object, "season", decodeSeason, item.season)
        || !readMember(object, "episode", decodeEpisode, item.episode))
        return std::nullopt;
    return item;
}

} // namespace corvex::catalogue
