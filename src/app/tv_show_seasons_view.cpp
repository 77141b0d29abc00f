#include "app/tv_show_seasons_view.h"

#include "app/catalogue_views.h"
#include "app/recording_windows.h"
#include "app/text_styles.h"
#include "catalogue/catalogue_client.h"
#include "service/session.h"

#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

namespace corvex::app {

namespace {

QColor withOpacity(QColor colour, double opacity)
{
    colour.setAlphaF(static_cast<float>(opacity));
    return colour;
}

// The accent bar at the start of an episode row.
class AccentBar final : public QWidget {
public:
    explicit AccentBar(QWidget* parent)
        : QWidget(parent)
    {
        setFixedWidth(4);
        setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(withOpacity(text_styles::accent(), 0.18));
        painter.drawRoundedRect(QRectF(rect()), 2, 2);
    }
};

QProgressBar* busyIndicator(QWidget* parent)
{
    auto* progress = new QProgressBar(parent);
    progress->setRange(0, 0);
    progress->setTextVisible(false);
    progress->setMaximumWidth(120);
    progress->setMaximumHeight(8);
    return progress;
}

} // namespace

TVShowSeasonsView::TVShowSeasonsView(StudioEnvironment& environment, QWidget* parent)
    : QWidget(parent)
    , m_environment(environment)
{
    setMinimumWidth(350);
    auto* grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    m_scroll = new QScrollArea(this);
    m_scroll->setWidgetResizable(true);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setFocusPolicy(Qt::NoFocus);
    grid->addWidget(m_scroll, 0, 0);
    m_progress = busyIndicator(this);
    grid->addWidget(m_progress, 0, 0, Qt::AlignCenter);
    m_progress->hide();
    render();
}

void TVShowSeasonsView::setTVShow(const catalogue::TMDBTVShow& show)
{
    const bool sameShow = m_tvShow && m_tvShow->id == show.id;
    m_tvShow = show;
    if (sameShow)
        return;
    ++m_generation;
    m_seasons.clear();
    m_episodesBySeason.clear();
    m_episodeErrors.clear();
    m_seasonsError.clear();
    m_expandedSeason.reset();
    m_isLoading = false;
    render();
    loadSeasons();
}

QCoro::Task<> TVShowSeasonsView::loadSeasons()
{
    if (!m_tvShow)
        co_return;
    const std::optional<settings::Endpoints> endpoints = catalogueEndpoints(m_environment.session);
    if (!endpoints)
        co_return;
    m_isLoading = true;
    m_seasonsError.clear();
    render();
    const quint64 generation = m_generation;
    QPointer<TVShowSeasonsView> self(this);
    catalogue::CatalogueClient client(*endpoints, m_environment.session.httpClient());
    const catalogue::CatalogueResult<catalogue::TMDBSeason> result = co_await client.seasons(*m_tvShow);
    // A later show replaced this one: its own load owns the state now.
    if (!self || generation != m_generation)
        co_return;
    using Outcome = catalogue::CatalogueResult<catalogue::TMDBSeason>::Outcome;
    if (result.outcome != Outcome::NoUrl)
        m_seasons = result.outcome == Outcome::Succeeded ? result.items : QList<catalogue::TMDBSeason> {};
    if (result.outcome == Outcome::Failed)
        m_seasonsError = QStringLiteral("The seasons could not be loaded: %1.").arg(result.error);
    m_isLoading = false;
    render();
}

QCoro::Task<> TVShowSeasonsView::loadEpisodes(qint64 seasonNumber)
{
    if (!m_tvShow)
        co_return;
    const std::optional<settings::Endpoints> endpoints = catalogueEndpoints(m_environment.session);
    if (!endpoints)
        co_return;
    const quint64 generation = m_generation;
    if (m_episodeErrors.remove(seasonNumber) > 0)
        render(); // waiting again
    QPointer<TVShowSeasonsView> self(this);
    catalogue::CatalogueClient client(*endpoints, m_environment.session.httpClient());
    const catalogue::CatalogueResult<catalogue::TMDBEpisode> result = co_await client.episodes(*m_tvShow, seasonNumber);
    if (!self || generation != m_generation)
        co_return;
    using Outcome = catalogue::CatalogueResult<catalogue::TMDBEpisode>::Outcome;
    if (result.outcome == Outcome::NoUrl)
        co_return;
    // A failure is not kept as an empty season: opening it again, or Try Again, asks once more.
    if (result.outcome == Outcome::Succeeded)
        m_episodesBySeason.insert(seasonNumber, result.items);
    else
        m_episodeErrors.insert(seasonNumber, QStringLiteral("The episodes could not be loaded: %1.").arg(result.error));
    render();
}

void TVShowSeasonsView::toggleSeason(qint64 seasonNumber)
{
    if (m_expandedSeason == seasonNumber) {
        m_expandedSeason.reset();
        render();
        return;
    }
    m_expandedSeason = seasonNumber;
    render();
    if (!m_episodesBySeason.contains(seasonNumber))
        loadEpisodes(seasonNumber);
}

void TVShowSeasonsView::createLightshow(const catalogue::TMDBSeason& season, const catalogue::TMDBEpisode& episode)
{
    if (!m_tvShow)
        return;
    m_environment.recordingWindows.openRecordingWindow(catalogue::TMDBItem::forEpisode(*m_tvShow, season, episode));
}

QWidget* TVShowSeasonsView::seasonRow(const catalogue::TMDBSeason& season)
{
    const bool open = m_expandedSeason == season.season_number;
    auto* row = new ClickableRow;
    row->setAccessibleName(QStringLiteral("season %1").arg(season.season_number));
    row->setFill(withOpacity(text_styles::accent(), open ? 0.12 : 0.0), 6);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(8, 8, 8, 8);
    auto* column = new QVBoxLayout;
    column->setSpacing(2);
    column->addWidget(text_styles::label(seasonTitle(season), text_styles::headline(), {}, row));
    if (season.episode_count)
        column->addWidget(text_styles::label(
            episodeCountText(*season.episode_count), text_styles::caption(), text_styles::secondary(), row));
    layout->addLayout(column, 1);
    layout->addWidget(text_styles::label(
        open ? QStringLiteral("▾") : QStringLiteral("▸"), text_styles::headline(), text_styles::grey(), row));
    const qint64 number = season.season_number;
    connect(row, &ClickableRow::clicked, this, [this, number] {
        // Drawn again from inside this row's signal: let the row go first.
        QMetaObject::invokeMethod(
            this, [this, number] { toggleSeason(number); }, Qt::QueuedConnection);
    });
    return row;
}

QWidget* TVShowSeasonsView::episodeRow(const catalogue::TMDBSeason& season, const catalogue::TMDBEpisode& episode)
{
    auto* row = new ClickableRow;
    row->setCursor(Qt::ArrowCursor);
    // Nothing happens on the row itself: only its button takes the focus.
    row->setFocusPolicy(Qt::NoFocus);
    row->setFill(palette().color(QPalette::Base), 6);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(6, 4, 6, 4);
    layout->setSpacing(8);
    layout->addWidget(new AccentBar(row));
    auto* column = new QVBoxLayout;
    column->setSpacing(2);
    column->addWidget(
        text_styles::label(episode.name.value_or(QStringLiteral("Episode %1").arg(episode.episode_number)),
            text_styles::subheadline(), {}, row));
    column->addWidget(text_styles::label(episodeCode(season.season_number, episode.episode_number),
        text_styles::caption(), text_styles::secondary(), row));
    auto* create = new QPushButton(QStringLiteral("Create light show"), row);
    text_styles::makeProminent(create);
    column->addSpacing(2);
    column->addWidget(create, 0, Qt::AlignLeft);
    layout->addLayout(column, 1);
    connect(create, &QPushButton::clicked, this, [this, season, episode] { createLightshow(season, episode); });
    return row;
}

QWidget* TVShowSeasonsView::failureRow(const QString& message, std::function<void()> retry)
{
    auto* row = new QWidget;
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 4, 0, 4);
    QLabel* text = text_styles::label(message, text_styles::body(), text_styles::failure(), row);
    text->setWordWrap(true);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    line->addWidget(text, 1);
    auto* again = new QPushButton(QStringLiteral("Try Again"), row);
    line->addWidget(again, 0, Qt::AlignTop);
    // Queued: the answer draws the list anew, this row with it.
    connect(again, &QPushButton::clicked, this,
        [this, retry = std::move(retry)] { QMetaObject::invokeMethod(this, retry, Qt::QueuedConnection); });
    return row;
}

void TVShowSeasonsView::render()
{
    auto* content = new QWidget;
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(12, 12, 12, 12);
    column->setSpacing(6);
    if (!m_seasonsError.isEmpty())
        column->addWidget(failureRow(m_seasonsError, [this] { loadSeasons(); }));
    for (const catalogue::TMDBSeason& season : std::as_const(m_seasons)) {
        column->addWidget(seasonRow(season));
        if (m_expandedSeason != season.season_number)
            continue;
        const qint64 number = season.season_number;
        if (m_episodeErrors.contains(number)) {
            column->addWidget(failureRow(m_episodeErrors.value(number), [this, number] { loadEpisodes(number); }));
            continue;
        }
        const auto episodes = m_episodesBySeason.constFind(season.season_number);
        if (episodes == m_episodesBySeason.constEnd()) {
            auto* waiting = new QWidget(content);
            auto* line = new QHBoxLayout(waiting);
            line->setContentsMargins(0, 8, 0, 8);
            line->addWidget(busyIndicator(waiting), 0, Qt::AlignCenter);
            column->addWidget(waiting);
            continue;
        }
        for (const catalogue::TMDBEpisode& episode : *episodes)
            column->addWidget(episodeRow(season, episode));
    }
    column->addStretch(1);
    // The season the keyboard opened or closed keeps the focus in the list drawn anew.
    const QWidget* focused = QApplication::focusWidget();
    const QString focusedRow
        = focused && m_content && m_content->isAncestorOf(focused) ? focused->accessibleName() : QString();
    QWidget* old = m_scroll->takeWidget();
    m_scroll->setWidget(content);
    m_content = content;
    if (old)
        old->deleteLater();
    if (!focusedRow.isEmpty())
        for (ClickableRow* row : content->findChildren<ClickableRow*>())
            if (row->accessibleName() == focusedRow)
                row->setFocus(Qt::OtherFocusReason);
    m_progress->setVisible(m_isLoading);
    m_progress->raise();
    Q_EMIT changed();
}

} // namespace corvex::app
