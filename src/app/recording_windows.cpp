#include "app/recording_windows.h"

#include "analysis/analysis_recorder.h"
#include "app/configuration_view.h"
#include "app/recording_view.h"
#include "app/window_geometry.h"
#include "service/app_manager.h"

#include <QApplication>
#include <QCloseEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

namespace corvex::app {

namespace {

void centreOnScreen(QWidget& window)
{
    const QScreen* screen = window.screen() ? window.screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect available = screen->availableGeometry();
    window.move(available.center() - QPoint(window.width() / 2, window.height() / 2));
}

} // namespace

RecordingWindow::RecordingWindow(service::AppManager& manager, UploadQueue& uploads, RecordingModels models,
    std::shared_ptr<screencapture::CaptureBackend> backend, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , m_view(new RecordingView(manager, uploads, models.recorder, models.previewLink, std::move(backend), this))
{
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Recording"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_view);
    resize(800, 600);
    // The panel's full height beside a preview one can still judge.
    setMinimumSize(m_view->minimumSizeHint().expandedTo(QSize(
        RecordingView::kPanelWidth + RecordingView::kMinimumPreviewWidth + 1, RecordingView::kMinimumPreviewHeight)));
}

void RecordingWindow::closeEvent(QCloseEvent* event)
{
    ConfigurationView* panel = m_view->configurationView();
    if (!panel->hasRecordingInProgress() || m_closeConfirmed) {
        QWidget::closeEvent(event);
        return;
    }
    event->ignore();
    // A film still being analysed cannot be saved yet: closing stops it.
    const bool canSave = panel->canSaveNow();
    auto* box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Recording"),
        canSave ? QStringLiteral("A recording is in progress. Close the window and discard it?")
                : QStringLiteral("A film is being analysed. Close the window and stop it?"),
        QMessageBox::NoButton, this);
    box->setInformativeText(canSave ? QStringLiteral("Save it to upload it (it is kept until the upload succeeds).")
                                    : QStringLiteral("Nothing of it is kept; the film can be analysed again later."));
    box->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton* save = canSave ? box->addButton(QStringLiteral("Save and Close"), QMessageBox::AcceptRole) : nullptr;
    QPushButton* discard = box->addButton(QStringLiteral("Discard"), QMessageBox::DestructiveRole);
    QPushButton* cancel = box->addButton(QStringLiteral("Cancel"), QMessageBox::RejectRole);
    // Return must not throw a recording away, nor close the window unasked.
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    connect(box, &QMessageBox::buttonClicked, this, [this, save, discard](QAbstractButton* button) {
        if (save && button == save) {
            // The upload goes on without the window; a failure leaves it in the outbox.
            m_view->configurationView()->save();
        } else if (button == discard) {
            m_view->configurationView()->throwAway();
        } else {
            return;
        }
        m_closeConfirmed = true;
        close();
    });
    m_closeConfirmation = box;
    box->open();
}

RecordingWindows::RecordingWindows(service::AppManager& manager, UploadQueue& uploads, RecordingModels models,
    BackendFactory backends, QObject* parent)
    : QObject(parent)
    , m_manager(manager)
    , m_uploads(uploads)
    , m_models(models)
    , m_backends(std::move(backends))
{
}

RecordingWindow* RecordingWindows::openRecordingWindow(const catalogue::TMDBItem& item)
{
    if (m_current && m_current->view()->configurationView()->hasRecordingInProgress()) {
        // Changing the item now would save the running recording under the new one.
        m_current->show();
        m_current->raise();
        m_current->activateWindow();
        auto* box = new QMessageBox(QMessageBox::Information, QStringLiteral("Recording"),
            QStringLiteral("A recording is in progress in this window. Save it before you start another."),
            QMessageBox::Ok, m_current);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
        return nullptr;
    }
    m_manager.setCurrentItem(item);
    QPointer<QWidget> keyWindow = QApplication::activeWindow();
    if (m_current) {
        // Its capture ends with it.
        m_current->close();
    }
    auto* window = new RecordingWindow(m_manager, m_uploads, m_models, m_backends ? m_backends() : nullptr);
    if (!rememberGeometry(*window, m_manager.store(), QStringLiteral("recording")))
        centreOnScreen(*window);
    window->show();
    window->raise();
    window->activateWindow();
    m_current = window;
    if (keyWindow && keyWindow != window)
        keyWindow->close();
    return window;
}

} // namespace corvex::app
