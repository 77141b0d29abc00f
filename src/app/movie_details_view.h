#pragma once

#include "app/studio_environment.h"
#include "catalogue/tmdb_records.h"

#include <QWidget>

class QLabel;
class QPushButton;

namespace corvex::app {

/// A film's details: its title, its overview and "Create light show".
class MovieDetailsView final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MovieDetailsView)

public:
    explicit MovieDetailsView(StudioEnvironment& environment, QWidget* parent = nullptr);

    void setMovie(const catalogue::TMDBMovie& movie);
    const catalogue::TMDBMovie& movie() const { return m_movie; }
    QPushButton* createButton() const { return m_create; }
    QLabel* titleLabel() const { return m_title; }

private:
    StudioEnvironment& m_environment;
    catalogue::TMDBMovie m_movie;
    QLabel* m_title;
    QLabel* m_overview;
    QPushButton* m_create;
};

} // namespace corvex::app
