#include "app/light_shows_list_view.h"

#include "app/catalogue_window.h"
#include "app/elided_label.h"
#include "app/light_show_table_model.h"
#include "app/studio_icons.h"
#include "app/text_styles.h"
#include "service/app_manager.h"
#include "service/light_show_list_model.h"
#include "service/service_urls.h"
#include "service/sign_in.h"

#include "platform/webauth/session.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedLayout>
#include <QTableView>
#include <QToolBar>
#include <QVBoxLayout>

namespace corvex::app {

LightShowsListView::LightShowsListView(StudioEnvironment& environment, QWidget* parent)
    : QWidget(parent)
    , m_environment(environment)
    , m_model(new service::LightShowListModel(environment.manager, this))
    , m_tableModel(new LightShowTableModel(*m_model, this))
    , m_sortModel(new LightShowSortModel(this))
    , m_listRetry([this] {
        if (m_libraryShown && !m_model->isLoading())
            m_model->loadLightShows();
    })
{
    m_sortModel->setSourceModel(m_tableModel);
    m_pages = new QStackedLayout(this);
    m_prompt = buildPrompt();
    m_library = buildLibrary();
    m_pages->addWidget(m_prompt);
    m_pages->addWidget(m_library);

    connect(&environment.manager, &service::AppManager::accessTokenChanged, this, &LightShowsListView::showContent);
    // While the list cannot be had, it is asked for again by itself; each
    // load that ends in an error (the same one, often) plans the next.
    connect(m_model, &service::LightShowListModel::loadingChanged, this, [this] {
        if (!m_model->isLoading() && m_model->error() && m_libraryShown)
            m_listRetry.schedule();
        updateStatus();
    });
    connect(m_model, &service::LightShowListModel::errorChanged, this, [this] {
        if (!m_model->error())
            m_listRetry.reset();
        updateStatus();
    });
    connect(&m_listRetry, &Backoff::scheduled, this, [this](int delayMs) {
        m_retryNote->setText(
            QStringLiteral("Trying again in %1 s. Press Refresh (F5) to try now.").arg((delayMs + 999) / 1000));
        updateStatus();
    });
    connect(m_model, &QAbstractItemModel::modelReset, this, &LightShowsListView::updateStatus);
    connect(m_model, &QAbstractItemModel::rowsRemoved, this, &LightShowsListView::updateStatus);
    connect(m_model, &service::LightShowListModel::selectionChanged, this, [this] {
        updateActions();
        if (m_model->selection().isEmpty())
            m_table->clearSelection();
    });
    showContent();
    updateStatus();
}

LightShowsListView::~LightShowsListView() = default;

QWidget* LightShowsListView::buildPrompt()
{
    auto* page = new QWidget(this);
    auto* column = new QVBoxLayout(page);
    column->setSpacing(20);
    column->addStretch();
    auto* text = text_styles::label(
        QStringLiteral("Sign in to view your lightshows"), text_styles::title2(), text_styles::secondary(), page);
    text->setAlignment(Qt::AlignCenter);
    column->addWidget(text, 0, Qt::AlignHCenter);
    m_signInButton = new QPushButton(QStringLiteral("Sign In"), page);
    m_signInButton->setDefault(true);
    text_styles::makeProminent(m_signInButton);
    m_signInButton->setMinimumWidth(120);
    column->addWidget(m_signInButton, 0, Qt::AlignHCenter);
    m_signInError = text_styles::label({}, text_styles::body(), QColor(255, 90, 90), page);
    m_signInError->setAlignment(Qt::AlignCenter);
    m_signInError->setWordWrap(true);
    m_signInError->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_signInError->hide();
    column->addWidget(m_signInError);
    column->addStretch();
    connect(m_signInButton, &QPushButton::clicked, this, [this] { signIn(); });
    return page;
}

QWidget* LightShowsListView::buildLibrary()
{
    auto* page = new QWidget(this);
    auto* column = new QVBoxLayout(page);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    // The window's background is black whatever the desktop's theme, so the
    // icons are chosen to read on black.
    const QColor background = Qt::black;
    m_toolbar = new QToolBar(page);
    m_toolbar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_logoutAction = m_toolbar->addAction(studioIcon(StudioIcon::Logout, background), QStringLiteral("Logout"));
    m_logoutAction->setToolTip(QStringLiteral("Sign out of your account"));
    m_logoutAction->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_L));
    auto* space = new QWidget(m_toolbar);
    space->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    m_toolbar->addWidget(space);
    m_refreshAction = m_toolbar->addAction(studioIcon(StudioIcon::Refresh, background), QStringLiteral("Refresh"));
    m_refreshAction->setToolTip(QStringLiteral("Load the list of light shows again"));
    m_refreshAction->setShortcuts(QKeySequence::Refresh);
    m_deleteAction = m_toolbar->addAction(studioIcon(StudioIcon::Delete, background), QStringLiteral("Delete"));
    m_deleteAction->setToolTip(QStringLiteral("Delete selected light shows"));
    m_deleteAction->setShortcut(QKeySequence::Delete);
    m_deleteAction->setEnabled(false);
    m_addAction = m_toolbar->addAction(studioIcon(StudioIcon::Add, background), QStringLiteral("Add"));
    m_addAction->setToolTip(QStringLiteral("Create new light show"));
    // Ctrl+N opens a new window; a new light show takes the shifted key.
    m_addAction->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_N));
    for (QAction* action : { m_logoutAction, m_refreshAction, m_deleteAction, m_addAction })
        action->setShortcutContext(Qt::WindowShortcut);
    connect(m_logoutAction, &QAction::triggered, this, &LightShowsListView::confirmLogout);
    connect(m_refreshAction, &QAction::triggered, this, &LightShowsListView::refresh);
    connect(m_deleteAction, &QAction::triggered, this, &LightShowsListView::confirmDelete);
    connect(m_addAction, &QAction::triggered, this, [this] { openAddWindow(); });
    column->addWidget(m_toolbar);

    auto* tableArea = new QWidget(page);
    auto* grid = new QGridLayout(tableArea);
    grid->setContentsMargins(0, 0, 0, 0);
    m_table = new QTableView(tableArea);
    m_table->setModel(m_sortModel);
    m_table->setMinimumSize(500, 400);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->verticalHeader()->hide();
    m_table->setShowGrid(false);
    m_table->setAlternatingRowColors(true);
    // Rows stay in the service's order until the author asks for another.
    m_table->horizontalHeader()->setSortIndicatorShown(true);
    m_table->horizontalHeader()->setSortIndicator(-1, Qt::AscendingOrder);
    m_table->setSortingEnabled(true);
    m_table->horizontalHeader()->setSectionResizeMode(LightShowTableModel::TitleColumn, QHeaderView::Stretch);
    m_table->horizontalHeader()->setSectionResizeMode(
        LightShowTableModel::SeasonEpisodeColumn, QHeaderView::ResizeToContents);
    m_table->horizontalHeader()->setSectionResizeMode(
        LightShowTableModel::CreatedColumn, QHeaderView::ResizeToContents);
    m_table->verticalHeader()->setDefaultSectionSize(32);
    connect(m_table->selectionModel(), &QItemSelectionModel::selectionChanged, this,
        &LightShowsListView::syncSelectionFromTable);
    grid->addWidget(m_table, 0, 0);
    m_empty = text_styles::label(emptyLibraryText(), text_styles::title2(), text_styles::secondary(), tableArea);
    m_empty->setAlignment(Qt::AlignCenter);
    m_empty->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_empty->hide();
    grid->addWidget(m_empty, 0, 0, Qt::AlignCenter);
    column->addWidget(tableArea, 1);

    m_progress = new QProgressBar(page);
    m_progress->setRange(0, 0);
    m_progress->setTextVisible(false);
    m_progress->hide();
    column->addWidget(m_progress);
    m_error = text_styles::label({}, text_styles::body(), QColor(Qt::red), page);
    m_error->setWordWrap(true);
    m_error->setContentsMargins(16, 16, 16, 4);
    m_error->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_error->hide();
    column->addWidget(m_error);
    m_retryNote = text_styles::label({}, text_styles::caption(), text_styles::secondary(), page);
    m_retryNote->setContentsMargins(16, 0, 16, 12);
    m_retryNote->hide();
    column->addWidget(m_retryNote);
    m_actionError = new ElidedLabel(page);
    text_styles::setColour(m_actionError, QColor(Qt::red));
    m_actionError->setContentsMargins(16, 8, 16, 8);
    m_actionError->hide();
    column->addWidget(m_actionError);
    return page;
}

bool LightShowsListView::isShowingPrompt() const
{
    return m_pages->currentWidget() == m_prompt;
}

void LightShowsListView::showContent()
{
    const bool signedIn = m_environment.manager.accessToken().has_value();
    m_pages->setCurrentWidget(signedIn ? m_library : m_prompt);
    if (signedIn && !m_libraryShown) {
        // The table appears: load it and follow later changes.
        m_libraryShown = true;
        m_signInError->hide();
        m_model->setFollowsRefresh(true);
        m_model->loadLightShows();
    } else if (!signedIn && m_libraryShown) {
        m_libraryShown = false;
        m_listRetry.reset();
        m_model->setFollowsRefresh(false);
        m_model->clear();
        m_actionError->setFullText({});
        m_actionError->hide();
    }
    if (!signedIn && !m_environment.manager.signedOutMessage().isEmpty())
        showSignInProblem(m_environment.manager.signedOutMessage());
    updateActions();
    updateStatus();
}

void LightShowsListView::refresh()
{
    if (!m_libraryShown || m_model->isLoading())
        return;
    m_listRetry.reset();
    m_model->loadLightShows();
}

void LightShowsListView::updateActions()
{
    // The File menu shares these actions: nothing of the library acts while signed out.
    m_logoutAction->setEnabled(m_libraryShown);
    m_refreshAction->setEnabled(m_libraryShown);
    m_addAction->setEnabled(m_libraryShown);
    m_deleteAction->setEnabled(m_libraryShown && !m_deleting && !m_model->selection().isEmpty());
}

void LightShowsListView::updateStatus()
{
    const bool loading = m_model->isLoading();
    m_progress->setVisible(loading);
    const bool showError = !loading && m_model->error().has_value();
    m_error->setText(showError ? QStringLiteral("Error: ") + *m_model->error() : QString());
    m_error->setVisible(showError);
    m_retryNote->setVisible(showError && m_listRetry.isScheduled());
    m_empty->setVisible(m_libraryShown && !loading && !m_model->error() && m_model->shows().isEmpty());
}

void LightShowsListView::syncSelectionFromTable()
{
    QSet<QString> ids;
    for (const QModelIndex& index : m_table->selectionModel()->selectedRows())
        ids.insert(m_tableModel->show(m_sortModel->mapToSource(index).row()).id);
    m_model->setSelection(ids);
}

void LightShowsListView::selectShows(const QSet<QString>& ids)
{
    QItemSelection selection;
    for (int row = 0; row < m_sortModel->rowCount(); ++row) {
        const QModelIndex index = m_sortModel->index(row, 0);
        if (ids.contains(m_tableModel->show(m_sortModel->mapToSource(index).row()).id))
            selection.select(index, index);
    }
    m_table->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void LightShowsListView::confirm(const QString& title, const QString& action, void (LightShowsListView::*onConfirm)())
{
    if (m_confirmation)
        m_confirmation->close();
    auto* box
        = new QMessageBox(QMessageBox::Warning, QStringLiteral("Corvex Studio"), title, QMessageBox::NoButton, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton* confirmButton = box->addButton(action, QMessageBox::DestructiveRole);
    QPushButton* cancelButton = box->addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    // Return on a destructive question does nothing harmful, as on Linux desktops.
    box->setDefaultButton(cancelButton);
    box->setEscapeButton(cancelButton);
    connect(box, &QMessageBox::buttonClicked, this, [this, confirmButton, onConfirm](QAbstractButton* button) {
        if (button == confirmButton)
            (this->*onConfirm)();
    });
    m_confirmation = box;
    box->open();
}

void LightShowsListView::confirmDelete()
{
    if (m_model->selection().isEmpty() || m_deleting)
        return;
    confirm(QStringLiteral("Are you sure you want to delete the selected lightshows?"), QStringLiteral("Delete"),
        &LightShowsListView::deleteSelected);
}

void LightShowsListView::confirmLogout()
{
    if (!m_libraryShown)
        return;
    confirm(
        QStringLiteral("Are you sure you want to log out?"), QStringLiteral("Log out"), &LightShowsListView::signOut);
}

void LightShowsListView::deleteSelected()
{
    deleteShows(m_model->selection());
}

QCoro::Task<> LightShowsListView::deleteShows(QSet<QString> ids)
{
    QPointer<LightShowsListView> self(this);
    m_deleting = true;
    updateActions();
    m_actionError->hide();
    QStringList reasons;
    QMetaObject::Connection failures = connect(
        m_model, &service::LightShowListModel::deleteFailed, this, [&reasons](const QString&, const QString& reason) {
            if (!reasons.contains(reason))
                reasons.append(reason);
        });
    // All requests go out at once; each removes its own row when it succeeds.
    std::vector<QCoro::Task<>> deletes;
    const QList<service::LightShow> shows = m_model->shows();
    for (const service::LightShow& show : shows) {
        if (ids.contains(show.id))
            deletes.push_back(m_model->deleteLightShow(show));
    }
    for (QCoro::Task<>& request : deletes)
        co_await request;
    if (!self)
        co_return;
    disconnect(failures);
    m_deleting = false;
    QSet<QString> left;
    for (const service::LightShow& show : m_model->shows()) {
        if (ids.contains(show.id))
            left.insert(show.id);
    }
    if (left.isEmpty()) {
        m_model->setSelection({});
        m_actionError->setFullText({});
        m_actionError->hide();
    } else {
        // A failure must not look like success: the rows stay, selected.
        m_actionError->setFullText(
            QStringLiteral("%1 of %2 light shows could not be deleted (%3). They are still selected: press Delete "
                           "to try again.")
                .arg(left.size())
                .arg(ids.size())
                .arg(reasons.isEmpty() ? QStringLiteral("no answer from the service")
                                       : reasons.join(QStringLiteral("; "))));
        m_actionError->show();
        selectShows(left);
    }
    updateActions();
}

void LightShowsListView::signOut()
{
    // Signed out here at once; the token's revocation on the service runs on
    // by itself, and a service out of reach does not keep the author in.
    m_environment.manager.signOut();
    m_model->clear();
}

CatalogueWindow* LightShowsListView::openAddWindow()
{
    auto* window = new CatalogueWindow(m_environment);
    window->showCentred();
    m_addWindow = window;
    return window;
}

void LightShowsListView::showSignInProblem(const QString& message)
{
    m_signInError->setText(message);
    m_signInError->show();
}

QCoro::Task<> LightShowsListView::signIn()
{
    QPointer<LightShowsListView> self(this);
    service::AppManager& manager = m_environment.manager;
    const std::optional<QString> origin = manager.serviceOrigin();
    if (!origin) {
        showSignInProblem(QStringLiteral("Cannot sign in: %1").arg(manager.configurationError()));
        co_return;
    }
    const service::SignInRequest request = service::SignInRequest::make(*origin);
    const QUrl& signInUrl = request.url;
    webauth::Session& session = m_environment.signInSession;

    // A small window says where the sign-in goes on, shows the address to
    // copy into a browser by hand, and lets the author give up.
    auto* waiting = new QDialog(this);
    waiting->setAttribute(Qt::WA_DeleteOnClose);
    waiting->setWindowTitle(QStringLiteral("Sign In"));
    waiting->setMinimumWidth(460);
    auto* column = new QVBoxLayout(waiting);
    auto* text = new QLabel(QStringLiteral("Finish signing in in your web browser. If no browser opened, open this "
                                           "address in one yourself; this window waits for the answer."),
        waiting);
    text->setWordWrap(true);
    column->addWidget(text);
    auto* addressRow = new QHBoxLayout;
    auto* address = new QLineEdit(signInUrl.toString(), waiting);
    address->setReadOnly(true);
    address->setAccessibleName(QStringLiteral("Sign-in address"));
    auto* copy = new QPushButton(QStringLiteral("Copy"), waiting);
    copy->setIcon(studioIcon(StudioIcon::Copy));
    addressRow->addWidget(address, 1);
    addressRow->addWidget(copy);
    column->addLayout(addressRow);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), waiting);
    column->addWidget(cancel, 0, Qt::AlignRight);
    connect(copy, &QPushButton::clicked, waiting, [address, copy] {
        QGuiApplication::clipboard()->setText(address->text());
        copy->setText(QStringLiteral("Copied"));
    });
    connect(&session, &webauth::Session::browserNotOpened, waiting, [text] {
        text->setText(QStringLiteral("No web browser could be opened. Open this address in a browser yourself; "
                                     "this window waits for the answer."));
    });
    connect(cancel, &QPushButton::clicked, &session, &webauth::Session::cancel);
    connect(waiting, &QDialog::rejected, &session, &webauth::Session::cancel);
    QPointer<QDialog> dialog(waiting);
    m_signInDialog = waiting;
    m_signInButton->setEnabled(false);
    m_signInError->hide();
    waiting->open();
    address->setFocus();
    address->selectAll();

    session.setWaitsWhenNotOpened(true);
    const webauth::Session::Outcome outcome = co_await session.authenticate(signInUrl, QStringLiteral("corvexapp"));
    if (dialog) {
        dialog->disconnect(&session);
        dialog->close();
    }
    if (!self)
        co_return;
    m_signInButton->setEnabled(true);
    if (outcome.callback) {
        const QString problem = service::completeSignIn(*outcome.callback, request.state, manager);
        if (!problem.isEmpty())
            showSignInProblem(problem);
        else if (!manager.accessToken())
            showSignInProblem(
                QStringLiteral("The sign-in did not return an access token. Press Sign In to try again."));
        co_return;
    }
    if (outcome.failure != webauth::Session::Failure::Cancelled)
        showSignInProblem(QStringLiteral("Cannot sign in: %1.").arg(outcome.message));
}

} // namespace corvex::app
