#pragma once

#include "app/catalogue_window.h"
#include "app/studio_environment.h"

#include <QPointer>
#include <QWidget>

#include <QCoroTask>

class QAction;
class QLabel;
class QMessageBox;
class QProgressBar;
class QStackedLayout;
class QTableView;
class QToolBar;

namespace corvex::service {
class LightShowListModel;
struct LightShow;
}

namespace corvex::app {

class Backoff;
class ElidedLabel;
class LightShowSortModel;
class LightShowTableModel;
class SignInPrompt;

/// The author's library: the sign-in prompt while nobody is signed in, else
/// the table of their light shows under a toolbar that names the account and
/// offers to sign out, reload, delete the selected shows and open the
/// catalogue to add one. A list that could not be loaded is asked for again
/// with growing waits; one that could not be loaded again stays, marked as
/// not up to date.
class LightShowsListView final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LightShowsListView)

public:
    explicit LightShowsListView(StudioEnvironment& environment, QWidget* parent = nullptr);
    ~LightShowsListView() override;

    /// Signs out here at once (the service is told in the background).
    void signOut();
    /// Opens a further "Add Light Show" window and brings it to the front.
    CatalogueWindow* openAddWindow();
    /// Loads the list now, whatever failed before.
    void refresh();
    /// Shows why a sign-in answer from the browser did not arrive.
    void showSignInProblem(const QString& message);
    /// Signs out what shows as signed in once the token is gone (another
    /// Corvex program may have signed out).
    void checkSignedIn();

    /// The library's actions for the window's File menu, in order; a null
    /// entry stands for a separator.
    QList<QAction*> menuActions() const;

private:
    QWidget* buildLibrary();
    QToolBar* buildToolbar(QWidget* parent);
    void showContent();
    void updateStatus();
    void updateActions();
    void updateAccount();
    /// The show in `row` of the table as sorted on screen.
    const service::LightShow& showInRow(int row) const;
    void syncSelectionFromTable();
    void selectShows(const QSet<QString>& ids);
    void confirm(
        const QString& title, const QString& detail, const QString& action, void (LightShowsListView::*onConfirm)());
    void confirmDelete();
    void confirmSignOut();
    void deleteSelected();
    QCoro::Task<> deleteShows(QSet<QString> ids);
    void restoreSortOrder();

    StudioEnvironment& m_environment;
    service::LightShowListModel* m_model;
    LightShowTableModel* m_tableModel;
    LightShowSortModel* m_sortModel;
    Backoff* m_listRetry;
    QStackedLayout* m_pages = nullptr;
    SignInPrompt* m_prompt = nullptr;
    QWidget* m_library = nullptr;
    QLabel* m_account = nullptr;
    QAction* m_signOutAction = nullptr;
    QAction* m_deleteAction = nullptr;
    QAction* m_addAction = nullptr;
    QAction* m_refreshAction = nullptr;
    QLabel* m_stale = nullptr;
    QTableView* m_table = nullptr;
    QLabel* m_empty = nullptr;
    QProgressBar* m_progress = nullptr;
    QLabel* m_error = nullptr;
    QLabel* m_retryNote = nullptr;
    ElidedLabel* m_actionError = nullptr;
    QPointer<QMessageBox> m_confirmation;
    bool m_libraryShown = false;
    bool m_deleting = false;
};

} // namespace corvex::app
