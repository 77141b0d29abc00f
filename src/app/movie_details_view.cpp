#include "app/movie_details_view.h"

#include "app/recording_windows.h"
#include "app/text_styles.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace corvex::app {

MovieDetailsView::MovieDetailsView(StudioEnvironment& environment, QWidget* parent)
    : QWidget(parent)
    , m_environment(environment)
{
    setMinimumWidth(350);
    auto* column = new QVBoxLayout(this);
    column->setSpacing(16);
    column->setContentsMargins(16, 16, 16, 16);
    QFont titleFont = text_styles::title();
    titleFont.setBold(true);
    m_title = text_styles::label({}, titleFont, {}, this);
    m_title->setWordWrap(true);
    m_overview = text_styles::label({}, text_styles::body(), text_styles::secondary(), this);
    m_overview->setWordWrap(true);
    m_create = new QPushButton(QStringLiteral("Create light show"), this);
    text_styles::makeProminent(m_create);
    column->addWidget(m_title);
    column->addWidget(m_overview);
    column->addWidget(m_create, 0, Qt::AlignLeft);
    column->addStretch(1);
    connect(m_create, &QPushButton::clicked, this,
        [this] { m_environment.recordingWindows.openRecordingWindow(catalogue::TMDBItem::forMovie(m_movie)); });
}

void MovieDetailsView::setMovie(const catalogue::TMDBMovie& movie)
{
    m_movie = movie;
    m_title->setText(movie.title.value_or(QStringLiteral("Untitled Movie")));
    const bool hasOverview = movie.overview && !movie.overview->isEmpty();
    m_overview->setText(hasOverview ? *movie.overview : QString());
    m_overview->setVisible(hasOverview);
}

} // namespace corvex::app
