#pragma once

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

class LightShowTableModel;

/// The author's library: a sign-in prompt while no token is stored, else the
/// table of their light shows with a toolbar to sign out, delete the selected
/// shows and open the catalogue to add one.
class LightShowsListView final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LightShowsListView)

public:
    explicit LightShowsListView(StudioEnvironment& environment, QWidget* parent = nullptr);
    ~LightShowsListView() override;

    /// Forgets the token and the account and empties the table; sends nothing.
    void signOut();
    /// Opens a further "Add Lightshow" window and brings it to the front.
    CatalogueWindow* openAddWindow();

    // For tests and screenshots.
    bool isShowingPrompt() const;
    service::LightShowListModel& model() { return *m_model; }
    QTableView* table() const { return m_table; }
    QAction* logoutAction() const { return m_logoutAction; }
    QAction* deleteAction() const { return m_deleteAction; }
    QAction* addAction() const { return m_addAction; }
    QPushButton* signInButton() const { return m_signInButton; }
    QMessageBox* confirmation() const { return m_confirmation; }
    CatalogueWindow* addWindow() const { return m_addWindow; }
    QProgressBar* progress() const { return m_progress; }
    QLabel* errorLabel() const { return m_error; }

private:
    QWidget* buildPrompt();
    QWidget* buildLibrary();
    void showContent();
    void updateStatus();
    void syncSelectionFromTable();
    void confirm(const QString& title, const QString& action, void (LightShowsListView::*onConfirm)());
    void confirmDelete();
    void confirmLogout();
    void deleteSelected();
    QCoro::Task<> signIn();

    StudioEnvironment& m_environment;
    service::LightShowListModel* m_model;
    LightShowTableModel* m_tableModel;
    QStackedLayout* m_pages = nullptr;
    QWidget* m_prompt = nullptr;
    QWidget* m_library = nullptr;
    QPushButton* m_signInButton = nullptr;
    QLabel* m_signInError = nullptr;
    QToolBar* m_toolbar = nullptr;
    QAction* m_logoutAction = nullptr;
    QAction* m_deleteAction = nullptr;
    QAction* m_addAction = nullptr;
    QTableView* m_table = nullptr;
    QProgressBar* m_progress = nullptr;
    QLabel* m_error = nullptr;
    QPointer<QMessageBox> m_confirmation;
    QPointer<CatalogueWindow> m_addWindow;
    bool m_libraryShown = false;
};

/// A freedesktop theme icon, or the style's own when the theme lacks it.
QIcon themeIcon(const QString& name, int standardPixmap);

} // namespace corvex::app
