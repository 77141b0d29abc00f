#include "app/movies_search_view.h"

#include "app/catalogue_views.h"
#include "app/image_cache.h"
#include "app/movie_details_view.h"
#include "app/studio_icons.h"
#include "app/text_styles.h"
#include "app/tmdb_thumbnail_view.h"
#include "app/tv_show_seasons_view.h"
#include "app/window_geometry.h"
#include "catalogue/catalogue_client.h"
#include "service/session.h"

#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QScreen>
#include <QScrollArea>
#include <QShortcut>
#include <QSplitter>
#include <QStackedWidget>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace corvex::app {

MoviesSearchView::MoviesSearchView(StudioEnvironment& environment, QWidget* parent)
    : QWidget(parent)
    , m_environment(environment)
{
    setMinimumHeight(600);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* splitter = new QSplitter(Qt::Horizontal, this);
    splitter->setChildrenCollapsible(false);
    layout->addWidget(splitter);

    // Sidebar
    auto* sidebar = new QWidget(splitter);
    sidebar->setMinimumWidth(300);
    auto* column = new QVBoxLayout(sidebar);
    column->setContentsMargins(0, 8, 0, 0);
    column->setSpacing(0);
    auto* heading = text_styles::label(QStringLiteral("Movies & TV Search"), text_styles::headline(), {}, sidebar);
    heading->setContentsMargins(12, 0, 12, 0);
    column->addWidget(heading);
    auto* bar = new QHBoxLayout;
    bar->setContentsMargins(12, 8, 12, 8);
    m_searchField = new QLineEdit(sidebar);
    m_searchField->setPlaceholderText(QStringLiteral("Search movies or TV shows..."));
    m_searchField->setClearButtonEnabled(true);
    m_searchButton = new QToolButton(sidebar);
    m_searchButton->setIcon(studioIcon(StudioIcon::Find));
    // Down from the field goes into the results.
    m_searchField->installEventFilter(this);
    m_searchButton->setToolTip(QStringLiteral("Search"));
    bar->addWidget(m_searchField, 1);
    bar->addWidget(m_searchButton);
    column->addLayout(bar);
    // What went wrong, or that nothing was found, right under the field it is about.
    m_status = text_styles::label({}, text_styles::body(), {}, sidebar);
    m_status->setWordWrap(true);
    m_status->setContentsMargins(12, 0, 12, 8);
    m_status->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_status->hide();
    column->addWidget(m_status);

    auto* listArea = new QWidget(sidebar);
    auto* grid = new QGridLayout(listArea);
    grid->setContentsMargins(0, 0, 0, 0);
    m_resultsArea = new QScrollArea(listArea);
    m_resultsArea->setWidgetResizable(true);
    m_resultsArea->setFrameShape(QFrame::NoFrame);
    m_resultsArea->setFocusPolicy(Qt::NoFocus);
    m_resultsArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    grid->addWidget(m_resultsArea, 0, 0);
    m_progress = new QProgressBar(listArea);
    m_progress->setRange(0, 0);
    m_progress->setTextVisible(false);
    m_progress->setMaximumSize(120, 8);
    m_progress->hide();
    grid->addWidget(m_progress, 0, 0, Qt::AlignCenter);
    column->addWidget(listArea, 1);
    splitter->addWidget(sidebar);

    // Detail column
    m_detail = new QStackedWidget(splitter);
    m_detail->setMinimumWidth(350);
    m_placeholder = text_styles::label(
        QStringLiteral("Select a movie or TV show to see details"), text_styles::body(), text_styles::secondary());
    m_placeholder->setAlignment(Qt::AlignCenter);
    m_movieDetails = new MovieDetailsView(environment);
    m_seasonsView = new TVShowSeasonsView(environment);
    m_detail->addWidget(m_placeholder);
    m_detail->addWidget(m_movieDetails);
    m_detail->addWidget(m_seasonsView);
    splitter->addWidget(m_detail);
    splitter->setStretchFactor(1, 1);

    connect(m_searchField, &QLineEdit::returnPressed, this, &MoviesSearchView::performSearch);
    connect(m_searchButton, &QToolButton::clicked, this, &MoviesSearchView::performSearch);
    renderResults();
}

void MoviesSearchView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    m_searchField->setFocus();
}

QString MoviesSearchView::searchText() const
{
    return m_searchField->text();
}

void MoviesSearchView::performSearch()
{
    // The previous search, if any still runs, no longer counts.
    ++m_searchGeneration;
    search(m_searchGeneration, searchText());
}

void MoviesSearchView::setLoading(bool loading)
{
    m_isLoading = loading;
    m_progress->setVisible(loading);
    m_progress->raise();
}

QCoro::Task<> MoviesSearchView::search(quint64 generation, QString text)
{
    m_status->hide();
    if (text.isEmpty()) {
        m_focusRow = -1;
        m_results.clear();
        renderResults();
        // Nothing of ours is running any more, so nothing is loading.
        setLoading(false);
        Q_EMIT searchFinished();
        co_return;
    }
    const std::optional<settings::Endpoints> endpoints = catalogueEndpoints(m_environment.session);
    if (!endpoints) {
        showStatus(
            QStringLiteral("The catalogue cannot be searched: %1").arg(m_environment.session.configurationError()),
            true);
        co_return;
    }
    setLoading(true);
    QPointer<MoviesSearchView> self(this);
    catalogue::CatalogueClient client(*endpoints, m_environment.session.httpClient());
    const catalogue::CatalogueResult<catalogue::TMDBSearchResult> result = co_await client.search(text);
    if (!self || generation != m_searchGeneration)
        co_return; // superseded: the newer search writes the list and the indicator
    using Outcome = catalogue::CatalogueResult<catalogue::TMDBSearchResult>::Outcome;
    if (result.outcome == Outcome::NoUrl) {
        setLoading(false);
        co_return;
    }
    m_focusRow = -1;
    m_results = result.outcome == Outcome::Succeeded ? result.items : QList<catalogue::TMDBSearchResult> {};
    // The details of a title the new results do not list go with the old list:
    // nothing is to be created for a title the author no longer sees.
    const bool stillListed = std::any_of(m_results.begin(), m_results.end(), [this](const auto& listed) {
        return (m_selectedMovie && listed.movie() && listed.movie()->id == m_selectedMovie->id)
            || (m_selectedTVShow && listed.tvShow() && listed.tvShow()->id == m_selectedTVShow->id);
    });
    if (!stillListed && (m_selectedMovie || m_selectedTVShow)) {
        m_selectedMovie.reset();
        m_selectedTVShow.reset();
        showDetails();
    }
    if (result.outcome == Outcome::Failed) {
        showStatus(QStringLiteral("The catalogue could not be searched: %1.").arg(result.error), true);
    } else if (m_results.isEmpty()) {
        showStatus(QStringLiteral("Nothing found for “%1”.").arg(text), false);
    }
    renderResults();
    setLoading(false);
    Q_EMIT searchFinished();
}

void MoviesSearchView::showStatus(const QString& text, bool failure)
{
    text_styles::setColour(m_status, failure ? text_styles::failure() : text_styles::secondary());
    m_status->setText(text);
    m_status->show();
}

void MoviesSearchView::select(const catalogue::TMDBSearchResult& result)
{
    if (const catalogue::TMDBMovie* movie = result.movie()) {
        m_selectedMovie = *movie;
        m_selectedTVShow.reset();
    } else if (const catalogue::TMDBTVShow* show = result.tvShow()) {
        m_selectedTVShow = *show;
        m_selectedMovie.reset();
    }
    renderResults();
    showDetails();
}

void MoviesSearchView::showDetails()
{
    if (m_selectedMovie) {
        m_movieDetails->setMovie(*m_selectedMovie);
        m_detail->setCurrentWidget(m_movieDetails);
    } else if (m_selectedTVShow) {
        m_seasonsView->setTVShow(*m_selectedTVShow);
        m_detail->setCurrentWidget(m_seasonsView);
    } else {
        m_detail->setCurrentWidget(m_placeholder);
    }
}

QList<QWidget*> MoviesSearchView::resultRows() const
{
    QList<QWidget*> rows;
    if (!m_resultsContent)
        return rows;
    for (QObject* child : m_resultsContent->children()) {
        if (auto* row = qobject_cast<ClickableRow*>(child))
            rows.append(row);
    }
    return rows;
}

bool MoviesSearchView::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_searchField && event->type() == QEvent::KeyPress
        && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Down && !m_results.isEmpty()) {
        stepTo(0);
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void MoviesSearchView::stepTo(int index)
{
    if (index < 0 || index >= m_results.size())
        return;
    m_focusRow = index;
    select(m_results.at(index));
}

QWidget* MoviesSearchView::resultRow(const catalogue::TMDBSearchResult& result, int index, bool selected)
{
    auto* row = new ClickableRow;
    row->setAccessibleName(QStringLiteral("Result %1").arg(index + 1));
    QColor fill = text_styles::accent();
    fill.setAlphaF(selected ? 0.1f : 0.0f);
    row->setFill(fill, 12);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(8, 4, 8, 4);
    layout->setSpacing(10);

    QString title;
    std::optional<QString> date;
    std::optional<QString> overview;
    std::optional<QString> poster;
    if (const catalogue::TMDBMovie* movie = result.movie()) {
        title = movie->title.value_or(QStringLiteral("Untitled Movie"));
        date = movie->release_date;
        overview = movie->overview;
        poster = movie->poster_path;
    } else if (const catalogue::TMDBTVShow* show = result.tvShow()) {
        title = show->name.value_or(QStringLiteral("Untitled TV Show"));
        date = show->first_air_date;
        overview = show->overview;
        poster = show->poster_path;
    }
    layout->addWidget(
        new TMDBThumbnailView(m_environment.images, posterUrl(m_environment.session, poster), row), 0, Qt::AlignTop);
    auto* column = new QVBoxLayout;
    column->setSpacing(2);
    auto* titleLabel = text_styles::label(title, text_styles::headline(), {}, row);
    titleLabel->setWordWrap(true);
    column->addWidget(titleLabel);
    if (date)
        column->addWidget(text_styles::label(*date, text_styles::subheadline(), text_styles::secondary(), row));
    if (overview && !overview->isEmpty()) {
        // At most two lines.
        auto* text = text_styles::label(*overview, text_styles::caption(), text_styles::grey(), row);
        text->setWordWrap(true);
        text->setMaximumHeight(QFontMetrics(text->font()).lineSpacing() * 2 + 2);
        text->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        column->addWidget(text);
    }
    column->addStretch(1);
    layout->addLayout(column, 1);
    connect(row, &ClickableRow::stepRequested, this, [this, index](int delta) {
        // Queued: the row that asks is deleted by the redraw a selection makes.
        QMetaObject::invokeMethod(
            this, [this, index, delta] { stepTo(index + delta); }, Qt::QueuedConnection);
    });
    connect(row, &ClickableRow::clicked, this, [this, result, index] {
        QMetaObject::invokeMethod(
            this,
            [this, result, index] {
                m_focusRow = index;
                select(result);
            },
            Qt::QueuedConnection);
    });
    return row;
}

void MoviesSearchView::renderResults()
{
    auto* content = new QWidget;
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(6, 0, 6, 6);
    column->setSpacing(2);
    QWidget* focusRow = nullptr;
    for (qsizetype index = 0; index < m_results.size(); ++index) {
        const catalogue::TMDBSearchResult& result = m_results.at(index);
        bool selected = false;
        if (const catalogue::TMDBMovie* movie = result.movie())
            selected = m_selectedMovie && m_selectedMovie->id == movie->id;
        else if (const catalogue::TMDBTVShow* show = result.tvShow())
            selected = m_selectedTVShow && m_selectedTVShow->id == show->id;
        QWidget* row = resultRow(result, static_cast<int>(index), selected);
        row->setParent(content);
        column->addWidget(row);
        if (index == m_focusRow)
            focusRow = row;
    }
    column->addStretch(1);
    QWidget* old = m_resultsArea->takeWidget();
    m_resultsArea->setWidget(content);
    m_resultsContent = content;
    if (old)
        old->deleteLater();
    if (focusRow) {
        focusRow->setFocus(Qt::OtherFocusReason);
        m_resultsArea->ensureWidgetVisible(focusRow);
    }
}

CatalogueWindow::CatalogueWindow(StudioEnvironment& environment, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , m_search(new MoviesSearchView(environment, this))
{
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Add Light Show"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_search);
    if (!rememberGeometry(*this, environment.session.store(), QStringLiteral("catalogue")))
        resize(700, 700);
    else
        m_placed = true;
    auto* closeKey = new QShortcut(QKeySequence::Close, this);
    connect(closeKey, &QShortcut::activated, this, &QWidget::close);
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, &QWidget::close);
}

void CatalogueWindow::showCentred()
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen && !m_placed)
        move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));
    show();
    raise();
    activateWindow();
}

} // namespace corvex::app
