#include "app/recording_windows.h"

#include "analysis/analysis_recorder.h"
#include "app/configuration_view.h"
#include "app/global_keys.h"
#include "app/recording_sources.h"
#include "app/recording_view.h"
#include "app/settings_dialog.h"
#include "app/studio_icons.h"
#include "app/window_geometry.h"
#include "capture/screen_recorder.h"
#include "capture/video_file_source.h"
#include "service/session.h"

#include "platform/settings/store.h"

#include <QApplication>
#include <QCloseEvent>
#include <QMenu>
#include <QMenuBar>
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

QList<std::pair<QList<QKeySequence>, QString>> RecordingWindow::keys()
{
    // The desktop's Close key, and Ctrl+W wherever that is something else.
    QList<QKeySequence> closeKeys = QKeySequence::keyBindings(QKeySequence::Close);
    if (!closeKeys.contains(QKeySequence(Qt::CTRL | Qt::Key_W)))
        closeKeys.append(QKeySequence(Qt::CTRL | Qt::Key_W));
    return {
        { { QKeySequence(Qt::CTRL | Qt::Key_R) }, QStringLiteral("Start or stop recording") },
        { { QKeySequence(QKeySequence::Save) }, QStringLiteral("Save the recording and upload it") },
        { { QKeySequence(Qt::CTRL | Qt::Key_Delete) }, QStringLiteral("Discard the recording") },
        { closeKeys, QStringLiteral("Close the window") },
    };
}

RecordingWindow::RecordingWindow(service::Session& manager, UploadQueue& uploads, catalogue::TMDBItem item,
    RecordingModels models, std::shared_ptr<screencapture::CaptureBackend> backend, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , m_view(new RecordingView(
          manager, uploads, std::move(item), models.recorder, models.previewLink, std::move(backend), this))
    , m_start(new QAction(QStringLiteral("&Start Recording"), this))
    , m_save(new QAction(QStringLiteral("Sa&ve Recording"), this))
    , m_discard(new QAction(QStringLiteral("&Discard Recording…"), this))
    , m_tray(new QSystemTrayIcon(this))
{
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Recording"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_view);

    // The commands of the panel's buttons, with keys, for the keyboard alone.
    ConfigurationView* panel = m_view->configurationView();
    auto* menuBar = new QMenuBar(this);
    QMenu* menu = menuBar->addMenu(QStringLiteral("&Recording"));
    const auto keys = RecordingWindow::keys();
    m_start->setShortcuts(keys[0].first);
    m_save->setShortcuts(keys[1].first);
    m_discard->setShortcuts(keys[2].first);
    menu->addActions({ m_start, m_save, m_discard });
    menu->addSeparator();
    QAction* close = menu->addAction(QStringLiteral("&Close Window"), this, &QWidget::close);
    close->setShortcuts(keys[3].first);
    layout->setMenuBar(menuBar);
    for (QAction* action : menu->actions())
        action->setShortcutContext(Qt::WindowShortcut);
    connect(m_start, &QAction::triggered, panel, [panel] {
        if (!panel->sources().current().isBusy())
            panel->toggleRecording();
    });
    connect(m_save, &QAction::triggered, panel, &ConfigurationView::save);
    connect(m_discard, &QAction::triggered, panel, &ConfigurationView::discard);
    connect(menu, &QMenu::aboutToShow, this, &RecordingWindow::updateActions);
    connect(&panel->sources(), &RecordingSources::currentChanged, this, &RecordingWindow::updateActions);
    for (capture::RecordingSource* source : { static_cast<capture::RecordingSource*>(&m_view->screenRecorder()),
             static_cast<capture::RecordingSource*>(&panel->sources().file()) })
        connect(source, &capture::RecordingSource::recordingStateChanged, this, &RecordingWindow::updateActions);
    // Start and Save from anywhere on the desktop, with the keys the author set.
    const auto keyOf = [&manager](const char* key, QKeySequence fallback) {
        const QString stored = manager.store().value(QString::fromLatin1(key)).value_or(QString());
        return stored.isEmpty() ? fallback : QKeySequence::fromString(stored, QKeySequence::PortableText);
    };
    auto* globalKeys = new GlobalKeys(
        keyOf(kStartShortcutKey, defaultStartShortcut()), keyOf(kSaveShortcutKey, defaultSaveShortcut()), this);
    connect(globalKeys, &GlobalKeys::pressed, this, [this](GlobalKeys::Command command) {
        updateActions();
        QAction* action = command == GlobalKeys::Command::Start ? m_start : m_save;
        if (action->isEnabled())
            action->trigger();
    });
    // Why the keys do not work over other programs, while they do not.
    QAction* keysNote = menu->addAction(QString());
    keysNote->setEnabled(false);
    const auto showKeysNote = [globalKeys, keysNote] {
        keysNote->setText(globalKeys->unavailableReason());
        keysNote->setVisible(!globalKeys->isActive());
    };
    showKeysNote();
    connect(globalKeys, &GlobalKeys::availabilityChanged, keysNote, showKeysNote);
    auto* trayMenu = new QMenu(this);
    trayMenu->addActions({ m_start, m_save });
    trayMenu->addSeparator();
    trayMenu->addAction(QStringLiteral("Show Recording Window"), this, [this] {
        showNormal();
        raise();
        activateWindow();
    });
    m_tray->setContextMenu(trayMenu);
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger) {
            showNormal();
            raise();
            activateWindow();
        }
    });
    connect(
        &m_view->screenRecorder(), &capture::RecordingSource::recordingStateChanged, this, &RecordingWindow::stepAside);
    updateActions();
    // The panel's controls beside a preview one can still judge, under the menu.
    setMinimumSize(minimumSizeHint().expandedTo(QSize(
        RecordingView::kPanelWidth + RecordingView::kMinimumPreviewWidth + 1, RecordingView::kMinimumPreviewHeight)));
    if (QSystemTrayIcon::isSystemTrayAvailable())
        m_tray->show();
    resize(800, 600);
}

void RecordingWindow::updateActions()
{
    const capture::RecordingSource& source = m_view->configurationView()->sources().current();
    // Start also needs a signed-in author and a title: the button knows.
    m_start->setEnabled(!source.isBusy());
    m_save->setEnabled(source.canSave());
    m_discard->setEnabled(source.canSave());
    const bool recording = source.isBusy();
    m_tray->setIcon(studioIcon(recording ? StudioIcon::Stop : StudioIcon::Record));
    m_tray->setToolTip(
        recording ? QStringLiteral("Corvex Studio: recording") : QStringLiteral("Corvex Studio: not recording"));
}

void RecordingWindow::stepAside()
{
    // Where the desktop shares a whole display, the studio's windows are in
    // the picture: from the start of a recording only the tray icon stays.
    capture::ScreenRecorder& screen = m_view->screenRecorder();
    const bool recording = screen.recordingState() == capture::RecordingSource::State::Recording;
    const bool started = recording && !std::exchange(m_wasRecording, recording);
    m_wasRecording = recording;
    screencapture::DesktopChooser* chooser = screen.backend()->desktopChooser();
    if (!started || !chooser || m_view->configurationView()->sources().isFile()
        || chooser->desktopChoice().kind != screencapture::DesktopChoice::Kind::display)
        return;
    m_tray->showMessage(QStringLiteral("Recording"), steppingAsideText());
    showMinimized();
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

RecordingWindows::RecordingWindows(
    service::Session& manager, UploadQueue& uploads, RecordingModels models, BackendFactory backends, QObject* parent)
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
        // One capture at a time: a new window would end the running recording.
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
    QPointer<QWidget> keyWindow = QApplication::activeWindow();
    if (m_current) {
        // Its capture ends with it.
        m_current->close();
    }
    auto* window = new RecordingWindow(m_manager, m_uploads, item, m_models, m_backends ? m_backends() : nullptr);
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
