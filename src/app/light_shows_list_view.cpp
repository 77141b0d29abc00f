#include "app/light_shows_list_view.h"

#include "app/account_retry.h"
#include "app/backoff.h"
#include "app/catalogue_window.h"
#include "app/elided_label.h"
#include "app/light_show_notes.h"
#include "app/light_show_table_model.h"
#include "app/sign_in_prompt.h"
#include "app/standard_keys.h"
#include "app/studio_icons.h"
#include "app/text_styles.h"
#include "app/upload_queue.h"
#include "service/light_show_list_model.h"
#include "service/session.h"

#include "platform/settings/store.h"

#include <QAction>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedLayout>
#include <QTableView>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

namespace corvex::app {

namespace {

const QString kSortColumnKey = QStringLiteral("library/sort_column");
const QString kSortOrderKey = QStringLiteral("library/sort_order");

// "“A”", "“A” and “B”", "“A”, “B”, “C” and 2 more".
QString nameList(const QStringList& names)
{
    constexpr int kNamed = 3;
    QStringList quoted;
    for (const QString& name : names.mid(0, kNamed))
        quoted << QStringLiteral("“%1”").arg(name);
    if (names.size() > kNamed)
        return quoted.join(QStringLiteral(", ")) + QStringLiteral(" and %1 more").arg(names.size() - kNamed);
    const QString last = quoted.takeLast();
    return quoted.isEmpty() ? last : quoted.join(QStringLiteral(", ")) + QStringLiteral(" and ") + last;
}

QString timeText(const QDateTime& time)
{
    const QLocale locale;
    if (time.date() == QDate::currentDate())
        return locale.toString(time.time(), QLocale::ShortFormat);
    return locale.toString(time, QLocale::ShortFormat);
}

} // namespace

LightShowsListView::LightShowsListView(StudioEnvironment& environment, QWidget* parent)
    : QWidget(parent)
    , m_environment(environment)
    , m_model(new service::LightShowListModel(environment.session, this))
    , m_tableModel(new LightShowTableModel(*m_model, environment.notes, this))
    , m_sortModel(new LightShowSortModel(this))
    , m_listRetry(new Backoff(
          [this] {
              if (m_libraryShown && !m_model->isLoading())
                  m_model->loadLightShows();
          },
          this))
{
    m_listRetry->setObjectName(QStringLiteral("libraryRetry"));
    m_sortModel->setSourceModel(m_tableModel);
    m_pages = new QStackedLayout(this);
    m_prompt = new SignInPrompt(environment, this);
    m_library = buildLibrary();
    m_pages->addWidget(m_prompt);
    m_pages->addWidget(m_library);
    restoreSortOrder();

    service::Session& manager = environment.session;
    connect(&manager, &service::Session::accessTokenChanged, this, &LightShowsListView::showContent);
    // Why the author is signed out may come later (a sign-out the service did not hear of).
    connect(&manager, &service::Session::signedOutMessageChanged, this, &LightShowsListView::showContent);
    connect(&manager, &service::Session::accountChanged, this, &LightShowsListView::updateAccount);
    connect(&environment.accountRetry, &AccountRetry::lastErrorChanged, this, &LightShowsListView::updateAccount);
    // While the list cannot be had, it is asked for again by itself; each
    // load that ends in an error (the same one, often) plans the next.
    connect(m_model, &service::LightShowListModel::loadingChanged, this, [this] {
        if (!m_model->isLoading() && m_model->error() && m_libraryShown)
            m_listRetry->schedule();
        updateStatus();
    });
    connect(m_model, &service::LightShowListModel::errorChanged, this, [this] {
        if (!m_model->error())
            m_listRetry->reset();
        updateStatus();
    });
    connect(m_listRetry, &Backoff::scheduled, this, [this](int delayMs) {
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
}

LightShowsListView::~LightShowsListView() = default;

QToolBar* LightShowsListView::buildToolbar(QWidget* parent)
{
    // The window's background is black whatever the desktop's theme, so the
    // icons are chosen to read on black.
    const QColor background = Qt::black;
    auto* toolbar = new QToolBar(parent);
    toolbar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_account = text_styles::label({}, text_styles::body(), {}, toolbar);
    m_account->setContentsMargins(8, 0, 8, 0);
    toolbar->addWidget(m_account);
    m_signOutAction = toolbar->addAction(studioIcon(StudioIcon::Logout, background), QStringLiteral("Sign Out…"));
    m_signOutAction->setIconText(QStringLiteral("Sign Out"));
    m_signOutAction->setToolTip(QStringLiteral("Sign out of your account"));
    m_signOutAction->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_L));
    auto* space = new QWidget(toolbar);
    space->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    toolbar->addWidget(space);
    m_refreshAction = toolbar->addAction(studioIcon(StudioIcon::Refresh, background), QStringLiteral("Refresh"));
    m_refreshAction->setToolTip(QStringLiteral("Load the list of light shows again"));
    m_refreshAction->setShortcuts(standardShortcuts(QKeySequence::Refresh, Qt::Key_F5));
    m_deleteAction = toolbar->addAction(studioIcon(StudioIcon::Delete, background), QStringLiteral("Delete…"));
    m_deleteAction->setIconText(QStringLiteral("Delete"));
    m_deleteAction->setToolTip(QStringLiteral("Delete the selected light shows"));
    m_deleteAction->setShortcuts(standardShortcuts(QKeySequence::Delete, Qt::Key_Delete));
    m_addAction = toolbar->addAction(studioIcon(StudioIcon::Add, background), QStringLiteral("Add Light Show…"));
    m_addAction->setIconText(QStringLiteral("Add"));
    m_addAction->setToolTip(QStringLiteral("Create a new light show"));
    m_addAction->setShortcuts(standardShortcuts(QKeySequence::New, Qt::CTRL | Qt::Key_N));
    for (QAction* action : toolbar->actions()) {
        action->setShortcutContext(Qt::WindowShortcut);
        // Tab reaches the toolbar's buttons, not only the mouse.
        if (auto* button = qobject_cast<QToolButton*>(toolbar->widgetForAction(action)))
            button->setFocusPolicy(Qt::TabFocus);
    }
    connect(m_signOutAction, &QAction::triggered, this, &LightShowsListView::confirmSignOut);
    connect(m_refreshAction, &QAction::triggered, this, &LightShowsListView::refresh);
    connect(m_deleteAction, &QAction::triggered, this, &LightShowsListView::confirmDelete);
    connect(m_addAction, &QAction::triggered, this, [this] { openAddWindow(); });
    return toolbar;
}

QWidget* LightShowsListView::buildLibrary()
{
    const QPalette palette = text_styles::darkPalette();
    auto* page = new QWidget(this);
    auto* column = new QVBoxLayout(page);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(buildToolbar(page));

    // A list that could not be loaded again stays, under a band that says it is old.
    m_stale = text_styles::label({}, text_styles::body(), {}, page);
    m_stale->setWordWrap(true);
    m_stale->setStyleSheet(QStringLiteral("QLabel { background-color: #4a3800; color: #f5f0e0; padding: 8px 16px; }"));
    m_stale->hide();
    column->addWidget(m_stale);

    auto* tableArea = new QWidget(page);
    auto* grid = new QGridLayout(tableArea);
    grid->setContentsMargins(0, 0, 0, 0);
    m_table = new QTableView(tableArea);
    m_table->setModel(m_sortModel);
    m_table->setMinimumSize(500, 400);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setTabKeyNavigation(false);
    m_table->verticalHeader()->hide();
    m_table->setShowGrid(false);
    m_table->setAlternatingRowColors(true);
    // Rows stay in the service's order until the author asks for another.
    QHeaderView* header = m_table->horizontalHeader();
    header->setSortIndicatorShown(true);
    header->setSortIndicator(-1, Qt::AscendingOrder);
    m_table->setSortingEnabled(true);
    header->setSectionResizeMode(QHeaderView::ResizeToContents);
    header->setSectionResizeMode(LightShowTableModel::TitleColumn, QHeaderView::Stretch);
    m_table->verticalHeader()->setDefaultSectionSize(32);
    connect(m_table->selectionModel(), &QItemSelectionModel::selectionChanged, this,
        &LightShowsListView::syncSelectionFromTable);
    connect(header, &QHeaderView::sortIndicatorChanged, this, [this](int section, Qt::SortOrder order) {
        settings::Store& store = m_environment.session.store();
        store.setValue(kSortColumnKey, QString::number(section));
        store.setValue(
            kSortOrderKey, order == Qt::AscendingOrder ? QStringLiteral("ascending") : QStringLiteral("descending"));
    });
    grid->addWidget(m_table, 0, 0);
    m_empty = text_styles::label(QStringLiteral("No light shows yet — press Add"), text_styles::title2(),
        text_styles::secondary(palette), tableArea);
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
    m_error = text_styles::label({}, text_styles::body(), text_styles::failure(palette), page);
    m_error->setWordWrap(true);
    m_error->setContentsMargins(16, 16, 16, 4);
    m_error->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_error->hide();
    column->addWidget(m_error);
    m_retryNote = text_styles::label({}, text_styles::body(), text_styles::secondary(palette), page);
    m_retryNote->setContentsMargins(16, 0, 16, 12);
    m_retryNote->hide();
    column->addWidget(m_retryNote);
    m_actionError = new ElidedLabel(page);
    text_styles::setColour(m_actionError, text_styles::failure(palette));
    m_actionError->setContentsMargins(16, 8, 16, 8);
    m_actionError->hide();
    column->addWidget(m_actionError);
    return page;
}

void LightShowsListView::restoreSortOrder()
{
    const settings::Store& store = m_environment.session.store();
    bool valid = false;
    const int column = store.value(kSortColumnKey).value_or(QString()).toInt(&valid);
    if (!valid || column < 0 || column >= LightShowTableModel::ColumnCount)
        return;
    const bool descending = store.value(kSortOrderKey) == QStringLiteral("descending");
    m_table->sortByColumn(column, descending ? Qt::DescendingOrder : Qt::AscendingOrder);
}

QList<QAction*> LightShowsListView::menuActions() const
{
    return { m_addAction, m_deleteAction, m_refreshAction, nullptr, m_prompt->signInAction(), m_signOutAction };
}

void LightShowsListView::showContent()
{
    const bool signedIn = m_environment.session.accessToken().has_value();
    m_pages->setCurrentWidget(signedIn ? m_library : static_cast<QWidget*>(m_prompt));
    if (signedIn && !m_libraryShown) {
        // The table appears: load it and follow later changes.
        m_libraryShown = true;
        m_prompt->clearProblem();
        m_model->setFollowsRefresh(&m_environment.uploads.delivery());
        m_model->loadLightShows();
    } else if (!signedIn && m_libraryShown) {
        m_libraryShown = false;
        m_listRetry->reset();
        m_model->setFollowsRefresh(nullptr);
        m_model->clear();
        m_actionError->setFullText({});
        m_actionError->hide();
    }
    if (!signedIn && !m_environment.session.signedOutMessage().isEmpty())
        m_prompt->showProblem(m_environment.session.signedOutMessage());
    updateAccount();
    updateActions();
    updateStatus();
}

void LightShowsListView::checkSignedIn()
{
    if (m_libraryShown && !m_environment.session.accessToken())
        m_environment.session.signOut();
}

void LightShowsListView::refresh()
{
    if (!m_libraryShown || m_model->isLoading())
        return;
    m_listRetry->reset();
    m_model->loadLightShows();
}

void LightShowsListView::updateAccount()
{
    const service::Session& manager = m_environment.session;
    if (const auto& account = manager.account())
        m_account->setText(QStringLiteral("Signed in as %1").arg(account->email));
    else if (!m_environment.accountRetry.lastError().isEmpty())
        m_account->setText(QStringLiteral("Signed in (the account could not be checked)"));
    else
        m_account->setText(QStringLiteral("Signed in"));
    m_account->setToolTip(manager.account() ? QString() : m_environment.accountRetry.lastError());
}

void LightShowsListView::updateActions()
{
    // The File menu shares these actions: nothing of the library acts while signed out.
    m_signOutAction->setVisible(m_libraryShown);
    m_prompt->signInAction()->setVisible(!m_libraryShown);
    m_refreshAction->setEnabled(m_libraryShown);
    m_addAction->setEnabled(m_libraryShown);
    m_deleteAction->setEnabled(m_libraryShown && !m_deleting && !m_model->selection().isEmpty());
}

void LightShowsListView::updateStatus()
{
    const bool loading = m_model->isLoading();
    m_progress->setVisible(loading);
    const std::optional<QString>& error = m_model->error();
    const bool stale = !loading && error && m_model->lastLoaded().isValid();
    const bool failed = !loading && error && !stale;
    m_error->setText(failed ? QStringLiteral("Error: ") + *error : QString());
    m_error->setVisible(failed);
    const bool retrying = error && !loading && m_listRetry->isScheduled();
    if (stale)
        m_stale->setText(QStringLiteral("Not up to date: this is the list as it was at %1. It could not be loaded "
                                        "again: %2.%3")
                             .arg(timeText(m_model->lastLoaded()), *error,
                                 retrying ? QLatin1Char(' ') + m_retryNote->text() : QString()));
    m_stale->setVisible(stale);
    QPalette tablePalette = text_styles::darkPalette();
    if (stale)
        tablePalette.setColor(QPalette::Text, text_styles::secondary(tablePalette));
    m_table->setPalette(tablePalette);
    m_retryNote->setVisible(failed && retrying);
    m_empty->setVisible(m_libraryShown && !loading && !error && m_model->shows().isEmpty());
}

const service::LightShow& LightShowsListView::showInRow(int row) const
{
    return m_tableModel->show(m_sortModel->mapToSource(m_sortModel->index(row, 0)).row());
}

void LightShowsListView::syncSelectionFromTable()
{
    QSet<QString> ids;
    for (const QModelIndex& index : m_table->selectionModel()->selectedRows())
        ids.insert(showInRow(index.row()).id);
    m_model->setSelection(ids);
}

void LightShowsListView::selectShows(const QSet<QString>& ids)
{
    QItemSelection selection;
    for (int row = 0; row < m_sortModel->rowCount(); ++row) {
        const QModelIndex index = m_sortModel->index(row, 0);
        if (ids.contains(showInRow(row).id))
            selection.select(index, index);
    }
    m_table->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void LightShowsListView::confirm(
    const QString& title, const QString& detail, const QString& action, void (LightShowsListView::*onConfirm)())
{
    if (m_confirmation)
        m_confirmation->close();
    auto* box
        = new QMessageBox(QMessageBox::Warning, QStringLiteral("Corvex Studio"), title, QMessageBox::NoButton, this);
    box->setTextFormat(Qt::PlainText); // the titles are the catalogue's, shown as they are
    box->setInformativeText(detail);
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
    // Named in the order the table shows them.
    QStringList names;
    for (int row = 0; row < m_sortModel->rowCount(); ++row) {
        const service::LightShow& show = showInRow(row);
        if (m_model->selection().contains(show.id))
            names << m_tableModel->name(show);
    }
    const QString title = names.size() == 1
        ? QStringLiteral("Delete the light show %1?").arg(nameList(names))
        : QStringLiteral("Delete %1 light shows: %2?").arg(names.size()).arg(nameList(names));
    confirm(title,
        names.size() == 1 ? QStringLiteral("It is removed from the service for good.")
                          : QStringLiteral("They are removed from the service for good."),
        QStringLiteral("Delete"), &LightShowsListView::deleteSelected);
}

void LightShowsListView::confirmSignOut()
{
    if (!m_libraryShown)
        return;
    const auto& account = m_environment.session.account();
    confirm(account ? QStringLiteral("Sign out of %1?").arg(account->email) : QStringLiteral("Sign out?"),
        QStringLiteral("Recordings waiting to be uploaded stay on this computer until you sign in again."),
        QStringLiteral("Sign Out"), &LightShowsListView::signOut);
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
    for (const QString& id : std::as_const(ids)) {
        if (!left.contains(id))
            m_environment.notes.forget(id);
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
    m_environment.session.signOut();
    m_model->clear();
}

CatalogueWindow* LightShowsListView::openAddWindow()
{
    auto* window = new CatalogueWindow(m_environment);
    window->showCentred();
    return window;
}

void LightShowsListView::showSignInProblem(const QString& message)
{
    m_prompt->showProblem(message);
}

} // namespace corvex::app
