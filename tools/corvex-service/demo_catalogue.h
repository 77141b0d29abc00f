#pragma once

#include "platform/result.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <optional>

namespace corvex::reference {

/// A small catalogue of public-domain films and series, answering the three
/// catalogue requests the studio makes and serving w92 posters (generated
/// images), so that the studio runs with no internet.
class DemoCatalogue final {
public:
    /// Loads the bundled data; fails when it is missing or broken.
    Result<void> load();

    /// The answers, in the catalogue's own JSON shapes; none when unknown.
    QJsonObject search(const QString& query) const;
    std::optional<QJsonObject> tvDetails(qint64 showId) const;
    std::optional<QJsonObject> seasonDetails(qint64 showId, qint64 seasonNumber) const;
    /// A PNG for "/<kind>-<id>.png", or none.
    std::optional<QByteArray> poster(const QString& fileName) const;

    /// A display title for an uploaded show: the film's title, or
    /// "<series> S<season>E<episode>"; none when the ids are not ours.
    std::optional<QString> titleOf(const QString& type, qint64 tmdbId, qint64 season, qint64 episode) const;

private:
    QJsonObject m_data;
};

} // namespace corvex::reference
