#pragma once

#include "catalogue/tmdb_records.h"

#include "platform/http/json_reader.h"

#include <QByteArray>
#include <QJsonObject>

namespace corvex::catalogue {

// Decoders of the catalogue's JSON. `path` names the object in messages.
Result<TMDBMovie> decodeMovie(const QJsonObject& object, const QString& path = {});
Result<TMDBTVShow> decodeTVShow(const QJsonObject& object, const QString& path = {});
Result<TMDBSeason> decodeSeason(const QJsonObject& object, const QString& path = {});
Result<TMDBEpisode> decodeEpisode(const QJsonObject& object, const QString& path = {});

/// By "media_type": "movie" and "tv" decode as that record; any other value,
/// none, or one that is not text tries a film first, then a TV show, and
/// fails with the TV show's failure.
Result<TMDBSearchResult> decodeSearchResult(const QJsonObject& object, const QString& path = {});

// Whole bodies: one bad element fails the whole answer.
Result<TMDBSearchResponse> decodeSearchResponse(const QByteArray& body);
Result<TMDBTVDetails> decodeTVDetails(const QByteArray& body);
Result<TMDBSeasonDetails> decodeSeasonDetails(const QByteArray& body);

} // namespace corvex::catalogue
