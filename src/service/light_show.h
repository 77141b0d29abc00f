#pragma once

#include "platform/http/json_reader.h"

#include <QList>
#include <QString>

#include <optional>

namespace corvex::service {

/// One of the author's stored light shows, as the service lists it.
struct LightShow {
    QString id;
    qint64 tmdb_id = 0;
    qint64 season = 0;
    qint64 episode = 0;
    QString type; // "tv" for an episode; anything else is shown as a movie
    QString author_id;
    QString created_at; // shown as received
    std::optional<QString> title;

    bool isEpisode() const { return type == QLatin1StringView("tv"); }
    friend bool operator==(const LightShow&, const LightShow&) = default;
};

struct LightShowsResponse {
    QList<LightShow> results;
    std::optional<qint64> limit;
    std::optional<qint64> offset;
    std::optional<qint64> total;
};

Result<LightShowsResponse> decodeLightShowsResponse(const QByteArray& body);

} // namespace corvex::service
