#pragma once

#include "app/studio_environment.h"
#include "catalogue/tmdb_records.h"

#include <QMap>
#include <QWidget>

#include <functional>

#include <QCoroTask>

#include <optional>

class QProgressBar;
class QScrollArea;
class QVBoxLayout;

namespace corvex::app {

/// A TV show's seasons; one season at a time opens to list its episodes,
/// each with "Create light show". A season's episodes are fetched the first
/// time it opens and kept while the same show is displayed. Seasons or
/// episodes that could not be loaded say so in their place, with "Try Again".
class TVShowSeasonsView final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TVShowSeasonsView)

public:
    explicit TVShowSeasonsView(StudioEnvironment& environment, QWidget* parent = nullptr);

    /// Shows `show`; a show with another id starts afresh and loads its seasons.
    void setTVShow(const catalogue::TMDBTVShow& show);
    const std::optional<catalogue::TMDBTVShow>& tvShow() const { return m_tvShow; }

    /// Opens the season, or closes it when it is the open one.
    void toggleSeason(qint64 seasonNumber);

    const QList<catalogue::TMDBSeason>& seasons() const { return m_seasons; }
    bool isLoading() const { return m_isLoading; }
    const QMap<qint64, QList<catalogue::TMDBEpisode>>& episodesBySeason() const { return m_episodesBySeason; }
    std::optional<qint64> expandedSeason() const { return m_expandedSeason; }

    /// "Create light show" for an episode of the open season.
    void createLightshow(const catalogue::TMDBSeason& season, const catalogue::TMDBEpisode& episode);

Q_SIGNALS:
    /// The state changed and the list was drawn again.
    void changed();

private:
    QCoro::Task<> loadSeasons();
    QCoro::Task<> loadEpisodes(qint64 seasonNumber);
    void render();
    QWidget* seasonRow(const catalogue::TMDBSeason& season);
    QWidget* failureRow(const QString& message, std::function<void()> retry);
    QWidget* episodeRow(const catalogue::TMDBSeason& season, const catalogue::TMDBEpisode& episode);

    StudioEnvironment& m_environment;
    std::optional<catalogue::TMDBTVShow> m_tvShow;
    QList<catalogue::TMDBSeason> m_seasons;
    bool m_isLoading = false;
    QMap<qint64, QList<catalogue::TMDBEpisode>> m_episodesBySeason;
    std::optional<qint64> m_expandedSeason;
    QString m_seasonsError; // why the seasons could not be loaded
    QMap<qint64, QString> m_episodeErrors; // why a season's episodes could not be loaded
    /// Counts the shows displayed, so that a late answer for an earlier show is dropped.
    quint64 m_generation = 0;

    QScrollArea* m_scroll;
    QWidget* m_content = nullptr;
    QProgressBar* m_progress;
};

} // namespace corvex::app
