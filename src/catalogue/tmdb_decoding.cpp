#include "catalogue/tmdb_decoding.h"

namespace corvex::catalogue {

using http::JsonReader;

namespace {

template <typename T> Result<T> finish(const JsonReader& reader, T value)
{
    if (!reader.ok())
        return Result<T>::failure(reader.error());
    return { std::move(value), {} };
}

// Decodes every element of a required array member with `decode`.
template <typename T, typename Decode> QList<T> readList(JsonReader& reader, const QString& key, Decode decode)
{
    const QJsonArray array = reader.requiredArray(key);
    QList<T> list;
    list.reserve(array.size());
    for (qsizetype i = 0; i < array.size() && reader.ok(); ++i) {
        const QString path = reader.pathOf(key, i);
        if (!array.at(i).isObject()) {
            reader.fail(QStringLiteral("member %1 is not an object").arg(path));
            break;
        }
        Result<T> element = decode(array.at(i).toObject(), path);
        if (!element) {
            reader.fail(element.error);
            break;
        }
        list.append(std::move(*element.value));
    }
    return list;
}

template <typename T>
Result<T> decodeBody(const QByteArray& body, Result<T> (*decode)(const QJsonObject&, const QString&))
{
    const Result<QJsonObject> object = http::parseObject(body);
    if (!object)
        return Result<T>::failure(object.error);
    return decode(*object.value, QString());
}

Result<TMDBSearchResponse> decodeSearchObject(const QJsonObject& object, const QString& path)
{
    JsonReader reader(object, path);
    TMDBSearchResponse response;
    response.results = readList<TMDBSearchResult>(reader, QStringLiteral("results"), decodeSearchResult);
    return finish(reader, std::move(response));
}

Result<TMDBTVDetails> decodeTVDetailsObject(const QJsonObject& object, const QString& path)
{
    JsonReader reader(object, path);
    TMDBTVDetails details;
    details.id = reader.requiredInteger(QStringLiteral("id"));
    details.name = reader.optionalString(QStringLiteral("name"));
    details.seasons = readList<TMDBSeason>(reader, QStringLiteral("seasons"), decodeSeason);
    return finish(reader, std::move(details));
}

Result<TMDBSeasonDetails> decodeSeasonDetailsObject(const QJsonObject& object, const QString& path)
{
    JsonReader reader(object, path);
    TMDBSeasonDetails details;
    details.id = reader.requiredInteger(QStringLiteral("id"));
    details.episodes = readList<TMDBEpisode>(reader, QStringLiteral("episodes"), decodeEpisode);
    return finish(reader, std::move(details));
}

} // namespace

Result<TMDBMovie> decodeMovie(const QJsonObject& object, const QString& path)
{
    JsonReader reader(object, path);
    TMDBMovie movie;
    movie.id = reader.requiredInteger(QStringLiteral("id"));
    movie.title = reader.optionalString(QStringLiteral("title"));
    movie.release_date = reader.optionalString(QStringLiteral("release_date"));
    movie.overview = reader.optionalString(QStringLiteral("overview"));
    movie.poster_path = reader.optionalString(QStringLiteral("poster_path"));
    return finish(reader, std::move(movie));
}

Result<TMDBTVShow> decodeTVShow(const QJsonObject& object, const QString& path)
{
    JsonReader reader(object, path);
    TMDBTVShow show;
    show.id = reader.requiredInteger(QStringLiteral("id"));
    show.name = reader.optionalString(QStringLiteral("name"));
    show.first_air_date = reader.optionalString(QStringLiteral("first_air_date"));
    show.overview = reader.optionalString(QStringLiteral("overview"));
    show.poster_path = reader.optionalString(QStringLiteral("poster_path"));
    return finish(reader, std::move(show));
}

Result<TMDBSeason> decodeSeason(const QJsonObject& object, const QString& path)
{
    JsonReader reader(object, path);
    TMDBSeason season;
    season.id = reader.requiredInteger(QStringLiteral("id"));
    season.season_number = reader.requiredInteger(QStringLiteral("season_number"));
    season.name = reader.optionalString(QStringLiteral("name"));
    season.episode_count = reader.optionalInteger(QStringLiteral("episode_count"));
    return finish(reader, std::move(season));
}

Result<TMDBEpisode> decodeEpisode(const QJsonObject& object, const QString& path)
{
    JsonReader reader(object, path);
    TMDBEpisode episode;
    episode.id = reader.requiredInteger(QStringLiteral("id"));
    episode.episode_number = reader.requiredInteger(QStringLiteral("episode_number"));
    episode.name = reader.optionalString(QStringLiteral("name"));
    return finish(reader, std::move(episode));
}

Result<TMDBSearchResult> decodeSearchResult(const QJsonObject& object, const QString& path)
{
    const QJsonValue mediaType = object.value(QStringLiteral("media_type"));
    const auto asMovie = [](Result<TMDBMovie> movie) -> Result<TMDBSearchResult> {
        if (!movie)
            return Result<TMDBSearchResult>::failure(movie.error);
        return { TMDBSearchResult { std::move(*movie.value) }, {} };
    };
    const auto asShow = [](Result<TMDBTVShow> show) -> Result<TMDBSearchResult> {
        if (!show)
            return Result<TMDBSearchResult>::failure(show.error);
        return { TMDBSearchResult { std::move(*show.value) }, {} };
    };
    if (mediaType.isString() && mediaType.toString() == QLatin1StringView("movie"))
        return asMovie(decodeMovie(object, path));
    if (mediaType.isString() && mediaType.toString() == QLatin1StringView("tv"))
        return asShow(decodeTVShow(object, path));
    if (Result<TMDBMovie> movie = decodeMovie(object, path))
        return asMovie(std::move(movie));
    return asShow(decodeTVShow(object, path));
}

Result<TMDBSearchResponse> decodeSearchResponse(const QByteArray& body)
{
    return decodeBody(body, decodeSearchObject);
}

Result<TMDBTVDetails> decodeTVDetails(const QByteArray& body)
{
    return decodeBody(body, decodeTVDetailsObject);
}

Result<TMDBSeasonDetails> decodeSeasonDetails(const QByteArray& body)
{
    return decodeBody(body, decodeSeasonDetailsObject);
}

} // namespace corvex::catalogue
