#pragma once

#include "app/backoff.h"
#include "app/catalogue_window.h"
#include "app/studio_environment.h"

#include <QMessageBox>

#include <QPointer>
#include <QWidget>

#include <QCoroTask>

class QAction;
class QLabel;
class QProgressBar;
class QPushButton;
class QStackedLayout;
class QTableView;
class QToolBar;

namespace corvex::service {
class LightShowListModel;
}

namespace corvex::app {

class ElidedLabel;
class LightShowSortModel;
class LightShowTableModel;

/// The author's library: a sign-in prompt while no token is stored, else the
/// table of their light shows with a toolbar to sign out, reload, delete the
/// selected shows and open the catalogue to add one. A list that could not
/// be loaded is asked for again with growing waits.
class LightShowsListView final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LightShowsListView)

public:
    static QString emptyLibraryText() { return QStringLiteral("No light shows yet — press Add"); }

    explicit LightShowsListView(StudioEnvironment& environment, QWidget* parent = nullptr);
    ~LightShowsListView() override;

    /// Forgets the token and the account and empties the table; sends nothing.
    void signOut();
    /// Opens a further "Add Lightshow" window and brings it to the front.
    CatalogueWindow* openAddWindow();
    /// Loads the list now, whatever failed before.
    void refresh();
    /// Shows why a sign-in answer from the browser did not arrive.
    void showSignInProblem(const QString& message);

    // For tests and screenshots.
    bool isShowingPrompt() const;
    service::LightShowListModel& model() { return *m_model; }
    QTableView* table() const { return m_table; }
    LightShowSortModel* sortModel() const { return m_sortModel; }
    QAction* logoutAction() const { return m_logoutAction; }
    QAction* deleteAction() const { return m_deleteAction; }
    QAction* addAction() const { return m_addAction; }
    QAction* refreshAction() const { return m_refreshAction; }
    QPushButton* signInButton() const { return m_signInButton; }
    QLabel* signInError() const { return m_signInError; }
    QMessageBox* confirmation() const { return m_confirmation; }
    QDialog* signInDialog() const { return m_signInDialog; }
    CatalogueWindow* addWindow() const { return m_addWindow; }
    QProgressBar* progress() const { return m_progress; }
    QLabel* errorLabel() const { return m_error; }
    QLabel* retryNote() const { return m_retryNote; }
    ElidedLabel* actionError() const { return m_actionError; }
    QLabel* emptyLabel() const { return m_empty; }
    Backoff& listRetry() { return m_listRetry; }
    bool isDeleting() const { return m_deleting; }

private:
    QWidget* buildPrompt();
    QWidget* buildLibrary();
    void showContent();
    void updateStatus();
    void updateActions();
    void syncSelectionFromTable();
    void selectShows(const QSet<QString>& ids);
    void confirm(const QString& title, const QString& action, void (LightShowsListView::*onConfirm)());
    void confirmDelete();
    void confirmLogout();
    void deleteSelected();
    QCoro::Task<> deleteShows(QSet<QString> ids);
    QCoro::Task<> signIn();

    StudioEnvironment& m_environment;
    service::LightShowListModel* m_model;
    LightShowTableModel* m_tableModel;
    LightShowSortModel* m_sortModel;
    Backoff m_listRetry;
    QStackedLayout* m_pages = nullptr;
    QWidget* m_prompt = nullptr;
    QWidget* m_library = nullptr;
    QPushButton* m_signInButton = nullptr;
    QLabel* m_signInError = nullptr;
    QToolBar* m_toolbar = nullptr;
    QAction* m_logoutAction = nullptr;
    QAction* m_deleteAction = nullptr;
    QAction* m_addAction = nullptr;
    QAction* m_refreshAction = nullptr;
    QTableView* m_table = nullptr;
    QLabel* m_empty = nullptr;
    QProgressBar* m_progress = nullptr;
    QLabel* m_error = nullptr;
    QLabel* m_retryNote = nullptr;
    ElidedLabel* m_actionError = nullptr;
    QPointer<QMessageBox> m_confirmation;
    QPointer<QDialog> m_signInDialog;
    QPointer<CatalogueWindow> m_addWindow;
    bool m_libraryShown = false;
    bool m_deleting = false;
};

} // namespace corvex::app
