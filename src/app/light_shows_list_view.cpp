#include "app/light_shows_list_view.h"

#include "app/catalogue_window.h"
#include "app/light_show_table_model.h"
#include "app/text_styles.h"
#include "service/app_manager.h"
#include "service/light_show_list_model.h"
#include "service/service_urls.h"
#include "service/sign_in.h"

#include "platform/webauth/session.h"

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedLayout>
#include <QStyle>
#include <QTableView>
#include <QToolBar>
#include <QVBoxLayout>

namespace corvex::app {

QIcon themeIcon(const QString& name, int standardPixmap)
{
    return QIcon::fromTheme(
        name, QApplication::style()->standardIcon(static_cast<QStyle::StandardPixmap>(standardPixmap)));
}

LightShowsListView::LightShowsListView(StudioEnvironment& environment, QWidget* parent)
    : QWidget(parent)
    , m_environment(environment)
    , m_model(new service::LightShowListModel(environment.manager, this))
    , m_tableModel(new LightShowTableModel(*m_model, this))
{
    m_pages = new QStackedLayout(this);
    m_prompt = buildPrompt();
    m_library = buildLibrary();
    m_pages->addWidget(m_prompt);
    m_pages->addWidget(m_library);

    connect(&environment.manager, &service::AppManager::accessTokenChanged, this, &LightShowsListView::showContent);
    connect(m_model, &service::LightShowListModel::loadingChanged, this, &LightShowsListView::updateStatus);
    connect(m_model, &service::LightShowListModel::errorChanged, this, &LightShowsListView::updateStatus);
    connect(m_model, &service::LightShowListModel::selectionChanged, this, [this] {
        m_deleteAction->setEnabled(!m_model->selection().isEmpty());
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
    m_signInError = text_styles::label({}, text_styles::body(), QColor(Qt::red), page);
    m_signInError->setAlignment(Qt::AlignCenter);
    m_signInError->setWordWrap(true);
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

    m_toolbar = new QToolBar(page);
    m_toolbar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_logoutAction = m_toolbar->addAction(
        themeIcon(QStringLiteral("system-log-out"), QStyle::SP_DialogCloseButton), QStringLiteral("Logout"));
    m_logoutAction->setToolTip(QStringLiteral("Sign out of your account"));
    auto* space = new QWidget(m_toolbar);
    space->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    m_toolbar->addWidget(space);
    m_deleteAction = m_toolbar->addAction(
        themeIcon(QStringLiteral("edit-delete"), QStyle::SP_TrashIcon), QStringLiteral("Delete"));
    m_deleteAction->setToolTip(QStringLiteral("Delete selected light shows"));
    m_deleteAction->setEnabled(false);
    m_addAction = m_toolbar->addAction(
        themeIcon(QStringLiteral("list-add"), QStyle::SP_FileDialogNewFolder), QStringLiteral("Add"));
    m_addAction->setToolTip(QStringLiteral("Create new light show"));
    connect(m_logoutAction, &QAction::triggered, this, &LightShowsListView::confirmLogout);
    connect(m_deleteAction, &QAction::triggered, this, &LightShowsListView::confirmDelete);
    connect(m_addAction, &QAction::triggered, this, [this] { openAddWindow(); });
    column->addWidget(m_toolbar);

    m_table = new QTableView(page);
    m_table->setModel(m_tableModel);
    m_table->setMinimumSize(500, 400);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->verticalHeader()->hide();
    m_table->setShowGrid(false);
    m_table->setAlternatingRowColors(true);
    m_table->horizontalHeader()->setSectionResizeMode(LightShowTableModel::TitleColumn, QHeaderView::Stretch);
    m_table->horizontalHeader()->setSectionResizeMode(
        LightShowTableModel::SeasonEpisodeColumn, QHeaderView::ResizeToContents);
    m_table->horizontalHeader()->setSectionResizeMode(
        LightShowTableModel::CreatedColumn, QHeaderView::ResizeToContents);
    m_table->verticalHeader()->setDefaultSectionSize(32);
    connect(m_table->selectionModel(), &QItemSelectionModel::selectionChanged, this,
        &LightShowsListView::syncSelectionFromTable);
    column->addWidget(m_table, 1);

    m_progress = new QProgressBar(page);
    m_progress->setRange(0, 0);
    m_progress->setTextVisible(false);
    m_progress->hide();
    column->addWidget(m_progress);
    m_error = text_styles::label({}, text_styles::body(), QColor(Qt::red), page);
    m_error->setWordWrap(true);
    m_error->setContentsMargins(16, 16, 16, 16);
    m_error->hide();
    column->addWidget(m_error);
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
        m_model->setFollowsRefresh(false);
        m_model->clear();
    }
    if (!signedIn && !m_environment.manager.signedOutMessage().isEmpty()) {
        m_signInError->setText(m_environment.manager.signedOutMessage());
        m_signInError->show();
    }
}

void LightShowsListView::updateStatus()
{
    m_progress->setVisible(m_model->isLoading());
    const bool showError = !m_model->isLoading() && m_model->error().has_value();
    m_error->setText(showError ? QStringLiteral("Error: ") + *m_model->error() : QString());
    m_error->setVisible(showError);
}

void LightShowsListView::syncSelectionFromTable()
{
    QSet<QString> ids;
    for (const QModelIndex& index : m_table->selectionModel()->selectedRows())
        ids.insert(m_tableModel->show(index.row()).id);
    m_model->setSelection(ids);
}

void LightShowsListView::confirm(const QString& title, const QString& action, void (LightShowsListView::*onConfirm)())
{
    if (m_confirmation)
        m_confirmation->close();
    auto* box
        = new QMessageBox(QMessageBox::Warning, QStringLiteral("Corvex Studio"), title, QMessageBox::NoButton, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton* confirmButton = box->addButton(action, QMessageBox::DestructiveRole);
    box->addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    connect(box, &QMessageBox::buttonClicked, this, [this, confirmButton, onConfirm](QAbstractButton* button) {
        if (button == confirmButton)
            (this->*onConfirm)();
    });
    m_confirmation = box;
    box->open();
}

void LightShowsListView::confirmDelete()
{
    if (m_model->selection().isEmpty())
        return;
    confirm(QStringLiteral("Are you sure you want to delete the selected lightshows?"), QStringLiteral("Delete"),
        &LightShowsListView::deleteSelected);
}

void LightShowsListView::confirmLogout()
{
    confirm(
        QStringLiteral("Are you sure you want to log out?"), QStringLiteral("Log out"), &LightShowsListView::signOut);
}

void LightShowsListView::deleteSelected()
{
    m_model->deleteSelectedLightShows();
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

QCoro::Task<> LightShowsListView::signIn()
{
    QPointer<LightShowsListView> self(this);
    service::AppManager& manager = m_environment.manager;
    const std::optional<QString> origin = manager.serviceOrigin();
    if (!origin) {
        m_signInError->setText(QStringLiteral("Cannot sign in: %1").arg(manager.configurationError()));
        m_signInError->show();
        co_return;
    }
    const QUrl signInUrl = service::service_urls::signIn(*origin);
    webauth::Session& session = m_environment.signInSession;

    // A small window says where the sign-in goes on, and lets the author give up.
    auto* waiting = new QDialog(this);
    waiting->setAttribute(Qt::WA_DeleteOnClose);
    waiting->setWindowTitle(QStringLiteral("Sign In"));
    auto* column = new QVBoxLayout(waiting);
    auto* text = new QLabel(QStringLiteral("Finish signing in in your web browser.\nIf no browser opened, open this "
                                           "address yourself:"),
        waiting);
    column->addWidget(text);
    auto* address = new QLabel(signInUrl.toString(), waiting);
    address->setTextInteractionFlags(Qt::TextSelectableByMouse);
    column->addWidget(address);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), waiting);
    column->addWidget(cancel, 0, Qt::AlignRight);
    connect(cancel, &QPushButton::clicked, &session, &webauth::Session::cancel);
    connect(waiting, &QDialog::rejected, &session, &webauth::Session::cancel);
    QPointer<QDialog> dialog(waiting);
    m_signInButton->setEnabled(false);
    m_signInError->hide();
    waiting->open();

    const webauth::Session::Outcome outcome = co_await session.authenticate(signInUrl, QStringLiteral("corvexapp"));
    if (dialog) {
        dialog->disconnect(&session);
        dialog->close();
    }
    if (!self)
        co_return;
    m_signInButton->setEnabled(true);
    if (outcome.callback) {
        const QString problem = service::completeSignIn(*outcome.callback, manager);
        if (!problem.isEmpty()) {
            m_signInError->setText(problem);
            m_signInError->show();
        }
        co_return;
    }
    if (outcome.failure != webauth::Session::Failure::Cancelled) {
        m_signInError->setText(QStringLiteral("Cannot sign in: %1.").arg(outcome.message));
        m_signInError->show();
    }
}

} // namespace corvex::app
