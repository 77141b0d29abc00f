#include "app/main_window.h"

#include "app/elided_label.h"
#include "app/light_shows_list_view.h"
#include "app/upload_queue.h"
#include "service/app_manager.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenuBar>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>

namespace corvex::app {

QPalette darkPalette()
{
    QPalette palette;
    const QColor text(235, 235, 240);
    palette.setColor(QPalette::Window, Qt::black);
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Base, QColor(28, 28, 30));
    palette.setColor(QPalette::AlternateBase, QColor(36, 36, 40));
    palette.setColor(QPalette::Text, text);
    palette.setColor(QPalette::Button, QColor(44, 44, 48));
    palette.setColor(QPalette::ButtonText, text);
    palette.setColor(QPalette::ToolTipBase, QColor(44, 44, 48));
    palette.setColor(QPalette::ToolTipText, text);
    palette.setColor(QPalette::Highlight, QColor(10, 132, 255));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::PlaceholderText, QColor(140, 140, 146));
    palette.setColor(QPalette::Disabled, QPalette::WindowText, QColor(110, 110, 115));
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(110, 110, 115));
    palette.setColor(QPalette::Disabled, QPalette::Text, QColor(110, 110, 115));
    return palette;
}

MainWindow::MainWindow(StudioEnvironment& environment, QWidget* parent)
    : QMainWindow(parent)
    , m_environment(environment)
    , m_listView(new LightShowsListView(environment, this))
    , m_outboxLabel(new ElidedLabel(this))
    , m_retryButton(new QPushButton(QStringLiteral("Retry uploads"), this))
{
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Corvex Studio"));
    setMinimumSize(kMinimumWidth, kMinimumHeight);
    setPalette(darkPalette());
    setAutoFillBackground(true);
    setCentralWidget(m_listView);

    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    // The library's own actions, with the shortcuts the toolbar shows.
    file->addAction(m_listView->addAction());
    file->addAction(m_listView->deleteAction());
    file->addAction(m_listView->refreshAction());
    file->addSeparator();
    QAction* newWindow = file->addAction(QStringLiteral("New Window"));
    newWindow->setShortcut(QKeySequence::New);
    connect(newWindow, &QAction::triggered, this, &MainWindow::newWindowRequested);
    QAction* close = file->addAction(QStringLiteral("Close Window"));
    close->setShortcut(QKeySequence::Close);
    connect(close, &QAction::triggered, this, &QWidget::close);
    file->addSeparator();
    file->addAction(m_listView->logoutAction());
    QAction* quit = file->addAction(QStringLiteral("Quit"));
    quit->setShortcut(QKeySequence::Quit);
    connect(quit, &QAction::triggered, qApp, &QApplication::closeAllWindows);

    // The message takes the bar's width and is cut with "…" beyond it; the
    // whole text is in its tooltip.
    statusBar()->addWidget(m_outboxLabel, 1);
    statusBar()->addPermanentWidget(m_retryButton);
    statusBar()->setSizeGripEnabled(false);
    connect(m_retryButton, &QPushButton::clicked, this, [this] { retryUploads(); });
    connect(&environment.uploads, &UploadQueue::waitingCountChanged, this, &MainWindow::updateOutbox);
    connect(&environment.uploads, &UploadQueue::retryingAllChanged, this, &MainWindow::updateOutbox);
    // A retry's report is about the author who asked for it.
    connect(&environment.manager, &service::AppManager::accessTokenChanged, this, [this] {
        m_retryMessage.clear();
        updateOutbox();
    });
    updateOutbox();
    resize(kMinimumWidth, kMinimumHeight);
}

void MainWindow::updateOutbox()
{
    const int waiting = m_environment.uploads.waitingCount();
    const bool retrying = m_environment.uploads.isRetryingAll();
    QString text;
    if (retrying)
        text = QStringLiteral("Uploading the recordings that were waiting…");
    else if (waiting == 1)
        text = QStringLiteral("1 recording is waiting to be uploaded.");
    else if (waiting > 1)
        text = QStringLiteral("%1 recordings are waiting to be uploaded.").arg(waiting);
    // "could not be uploaded" is over once nothing waits any more, whoever sent it.
    if (waiting == 0 && m_retryFailed)
        m_retryMessage.clear();
    if (!m_retryMessage.isEmpty() && !retrying)
        text = text.isEmpty() ? m_retryMessage : m_retryMessage + QLatin1Char(' ') + text;
    m_outboxLabel->setFullText(text);
    m_outboxLabel->setVisible(!text.isEmpty());
    m_retryButton->setVisible(waiting > 0);
    m_retryButton->setEnabled(!retrying);
}

QCoro::Task<> MainWindow::retryUploads()
{
    QPointer<MainWindow> self(this);
    m_retryMessage.clear();
    m_retryFailed = false;
    const UploadQueue::RetrySummary summary = co_await m_environment.uploads.retryAll();
    if (!self)
        co_return;
    m_retryFailed = summary.failed > 0;
    if (summary.failed > 0)
        m_retryMessage = QStringLiteral("%1 of %2 could not be uploaded: %3.")
                             .arg(summary.failed)
                             .arg(summary.failed + summary.uploaded)
                             .arg(summary.lastError);
    else if (summary.uploaded > 0)
        m_retryMessage = summary.uploaded == 1
            ? QStringLiteral("The waiting recording was uploaded.")
            : QStringLiteral("%1 waiting recordings were uploaded.").arg(summary.uploaded);
    if (summary.refusedForGood > 0)
        m_retryMessage += QStringLiteral(" %1 refused for good will never upload: keep them with 'corvex outbox "
                                         "--save', then remove them with 'corvex outbox --remove'.")
                              .arg(summary.refusedForGood);
    // Recordings of other authors are never sent to this account; say whose they are.
    if (summary.otherAuthors > 0)
        m_retryMessage += QStringLiteral(" %1 made under another account wait until %2 signs in.")
                              .arg(summary.otherAuthors)
                              .arg(summary.waitingFor.join(QStringLiteral(" or ")));
    if (summary.unknownAuthor > 0)
        m_retryMessage += QStringLiteral(" %1 of unknown author wait until sent with 'corvex outbox --send'.")
                              .arg(summary.unknownAuthor);
    m_retryMessage = m_retryMessage.trimmed();
    updateOutbox();
}

} // namespace corvex::app
