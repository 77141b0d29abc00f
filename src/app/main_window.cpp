#include "app/main_window.h"

#include "app/elided_label.h"
#include "app/light_shows_list_view.h"
#include "app/outbox_bar.h"
#include "app/recording_windows.h"
#include "app/settings_dialog.h"
#include "app/standard_keys.h"
#include "app/text_styles.h"
#include "app/upload_queue.h"
#include "app/window_geometry.h"
#include "service/session.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>

namespace corvex::app {

MainWindow::MainWindow(StudioEnvironment& environment, QWidget* parent)
    : QMainWindow(parent)
    , m_environment(environment)
    , m_listView(new LightShowsListView(environment, this))
    , m_outboxBar(new OutboxBar(environment, this))
{
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Corvex Studio"));
    fitMinimumToScreen();
    setPalette(text_styles::darkPalette());
    setAutoFillBackground(true);
    setCentralWidget(m_listView);
    buildMenus();

    statusBar()->addWidget(m_outboxBar, 1);
    statusBar()->setSizeGripEnabled(false);
    if (!rememberGeometry(*this, environment.session.store(), QStringLiteral("library")))
        resize(minimumSize());
}

void MainWindow::buildMenus()
{
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    // The library's own actions, with the shortcuts the toolbar shows.
    for (QAction* action : m_listView->menuActions()) {
        if (action)
            file->addAction(action);
        else
            file->addSeparator();
    }
    file->addSeparator();
    QAction* settings = file->addAction(QStringLiteral("Settings…"));
    settings->setShortcuts(standardShortcuts(QKeySequence::Preferences, Qt::CTRL | Qt::Key_Comma));
    connect(settings, &QAction::triggered, this, &MainWindow::openSettings);
    file->addSeparator();
    QAction* close = file->addAction(QStringLiteral("Close Window"));
    close->setShortcuts(standardShortcuts(QKeySequence::Close, Qt::CTRL | Qt::Key_W));
    connect(close, &QAction::triggered, this, &QWidget::close);
    QAction* quit = file->addAction(QStringLiteral("Quit"));
    quit->setShortcuts(standardShortcuts(QKeySequence::Quit, Qt::CTRL | Qt::Key_Q));
    connect(quit, &QAction::triggered, qApp, [] {
        // A Recording window with a recording in progress asks first; until it
        // has closed, no other window goes.
        for (QWidget* window : QApplication::topLevelWidgets())
            if (qobject_cast<RecordingWindow*>(window) && window->isVisible() && !window->close())
                return;
        QApplication::closeAllWindows();
    });

    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    QAction* contents = help->addAction(QStringLiteral("Corvex Studio Help"));
    contents->setShortcuts(standardShortcuts(QKeySequence::HelpContents, Qt::Key_F1));
    connect(contents, &QAction::triggered, this, &MainWindow::showHelp);
    QAction* about = help->addAction(QStringLiteral("About Corvex Studio"));
    connect(about, &QAction::triggered, this, &MainWindow::showAbout);
    // A menu is a window of its own and would take the desktop's palette; it
    // shows the toolbar's icons, drawn for this window's black.
    for (QMenu* menu : { file, help })
        menu->setPalette(text_styles::darkPalette());
}

void MainWindow::fitMinimumToScreen()
{
    // Never larger than the screen can show: on 1280 × 720 points (a 1080p
    // screen at 150 %) the status bar with the outbox would be out of reach.
    QSize minimum(kMinimumWidth, kMinimumHeight);
    if (const QScreen* shownOn = screen())
        minimum = minimum.boundedTo(shownOn->availableSize() - (frameGeometry().size() - geometry().size()));
    setMinimumSize(minimum);
}

void MainWindow::showEvent(QShowEvent* event)
{
    fitMinimumToScreen(); // the frame's size is known now, and the screen may be another
    QMainWindow::showEvent(event);
}

void MainWindow::changeEvent(QEvent* event)
{
    QMainWindow::changeEvent(event);
    // Another Corvex program (`corvex logout`) may have signed out meanwhile.
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        m_listView->checkSignedIn();
}

void MainWindow::openSettings()
{
    if (!m_settings) {
        auto* dialog = new SettingsDialog(m_environment.session, this);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        m_settings = dialog;
    }
    m_settings->show();
    m_settings->raise();
    m_settings->activateWindow();
}

namespace {

QString keyRow(const QList<QKeySequence>& keys, QString what)
{
    QStringList texts;
    for (const QKeySequence& key : keys)
        texts.append(key.toString(QKeySequence::NativeText).toHtmlEscaped());
    return QStringLiteral("<tr><td>%1</td><td>%2</td></tr>")
        .arg(texts.join(QStringLiteral(", ")), what.toHtmlEscaped());
}

} // namespace

void MainWindow::showHelp()
{
    // The keys are read off the menus and the Recording window, so the help
    // says what the keys do now.
    QString windowKeys;
    for (QAction* menu : menuBar()->actions())
        for (QAction* action : menu->menu() ? menu->menu()->actions() : QList<QAction*> {})
            if (!action->shortcuts().isEmpty())
                windowKeys += keyRow(action->shortcuts(), action->text().remove(QLatin1Char('&')));
    QString recordingKeys;
    for (const auto& [keys, what] : RecordingWindow::keys())
        recordingKeys += keyRow(keys, what);
    auto* box = new QMessageBox(QMessageBox::NoIcon, QStringLiteral("Corvex Studio Help"),
        QStringLiteral("<h3>Making a light show</h3>"
                       "<ol><li>Sign in to your light-show service.</li>"
                       "<li>Press <b>Add</b>, search for the film or the show, open a season and press "
                       "<b>Create light show</b> on the film or the episode.</li>"
                       "<li>In the <b>Recording</b> window choose the display or the window that plays it (or a "
                       "video file), start the film and press <b>Start recording</b>.</li>"
                       "<li>Press <b>Save recording</b> at the end: the show is uploaded, and kept on this "
                       "computer until the upload succeeded.</li></ol>"
                       "<p>Keys that start and save a recording from any program are set in Settings.</p>"
                       "<h3>Keys in this window</h3><table cellpadding=\"3\">%1</table>"
                       "<h3>Keys in the Recording window</h3><table cellpadding=\"3\">%2</table>")
            .arg(windowKeys, recordingKeys),
        QMessageBox::Close, this);
    box->setTextFormat(Qt::RichText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void MainWindow::showAbout()
{
    const std::optional<QString> origin = m_environment.session.serviceOrigin();
    auto* box = new QMessageBox(QMessageBox::NoIcon, QStringLiteral("About Corvex Studio"),
        QStringLiteral("<h3>Corvex Studio %1</h3><p>Records ambient-light shows of films and TV episodes and uploads "
                       "them to your light-show service.</p><p>Service: %2</p>")
            .arg(QApplication::applicationVersion().toHtmlEscaped(),
                origin ? origin->toHtmlEscaped() : m_environment.session.configurationError().toHtmlEscaped()),
        QMessageBox::Close, this);
    box->setTextFormat(Qt::RichText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

ElidedLabel* MainWindow::outboxLabel() const
{
    return m_outboxBar->label();
}

QPushButton* MainWindow::retryButton() const
{
    return m_outboxBar->retryButton();
}

} // namespace corvex::app
