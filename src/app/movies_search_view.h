#pragma once

#include "app/studio_environment.h"
#include "catalogue/tmdb_records.h"

#include <QWidget>

#include <QCoroTask>

#include <optional>

class QLabel;
class QLineEdit;
class QProgressBar;
class QScrollArea;
class QStackedWidget;
class QToolButton;

namespace corvex::app {

class MovieDetailsView;
class TVShowSeasonsView;

/// The catalogue search: a search field and the list of films and shows it
/// found beside the details of the selected one. A search starts only on
/// Return or the search button; a newer search replaces one still running,
/// whose answer is then ignored.
class MoviesSearchView final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MoviesSearchView)

public:
    explicit MoviesSearchView(StudioEnvironment& environment, QWidget* parent = nullptr);

    /// Starts a search for the field's text, superseding the one running.
    void performSearch();
    /// Selects a result row, showing its details.
    void select(const catalogue::TMDBSearchResult& result);

    QString searchText() const;
    const QList<catalogue::TMDBSearchResult>& results() const { return m_results; }
    bool isLoading() const { return m_isLoading; }
    const std::optional<catalogue::TMDBMovie>& selectedMovie() const { return m_selectedMovie; }
    const std::optional<catalogue::TMDBTVShow>& selectedTVShow() const { return m_selectedTVShow; }

    QLineEdit* searchField() const { return m_searchField; }
    QToolButton* searchButton() const { return m_searchButton; }
    MovieDetailsView* movieDetails() const { return m_movieDetails; }
    TVShowSeasonsView* seasonsView() const { return m_seasonsView; }
    QLabel* statusLabel() const { return m_status; }
    /// The result rows as drawn, in order.
    QList<QWidget*> resultRows() const;

Q_SIGNALS:
    /// A search finished and its results are shown.
    void searchFinished();

protected:
    void showEvent(QShowEvent* event) override;

private:
    QCoro::Task<> search(quint64 generation, QString text);
    void setLoading(bool loading);
    void showStatus(const QString& text, bool failure);
    void renderResults();
    void showDetails();
    QWidget* resultRow(const catalogue::TMDBSearchResult& result, int index, bool selected);
    void stepTo(int index);
    bool eventFilter(QObject* watched, QEvent* event) override;

    StudioEnvironment& m_environment;
    QList<catalogue::TMDBSearchResult> m_results;
    bool m_isLoading = false;
    quint64 m_searchGeneration = 0; // the search whose outcome counts
    std::optional<catalogue::TMDBMovie> m_selectedMovie;
    std::optional<catalogue::TMDBTVShow> m_selectedTVShow;

    QLineEdit* m_searchField;
    QToolButton* m_searchButton;
    QScrollArea* m_resultsArea;
    QWidget* m_resultsContent = nullptr;
    QProgressBar* m_progress;
    QLabel* m_status;
    QStackedWidget* m_detail;
    QLabel* m_placeholder;
    MovieDetailsView* m_movieDetails;
    TVShowSeasonsView* m_seasonsView;
    int m_focusRow = -1; // the row the keyboard moved to, focused again after each redraw
};

/// The "Add Light Show" window: 700 × 700 and centred at first, then where
/// the author left it; its content the catalogue search. Escape and the
/// desktop's close key (Ctrl+W) close it.
class CatalogueWindow final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CatalogueWindow)

public:
    explicit CatalogueWindow(StudioEnvironment& environment, QWidget* parent = nullptr);

    /// Centres the window on its screen (unless it was where the author left it) and brings it to the front.
    void showCentred();
    MoviesSearchView* searchView() const { return m_search; }

private:
    MoviesSearchView* m_search;
    bool m_placed = false; // its remembered place was restored
};

} // namespace corvex::app
