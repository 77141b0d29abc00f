#pragma once

#include "catalogue/tmdb_item.h"

#include <QAction>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QWidget>

#include <functional>
#include <memory>

namespace corvex::analysis {
class AnalysisRecorder;
}
namespace corvex::preview_link {
class UDPManager;
}
namespace corvex::screencapture {
class CaptureBackend;
}
namespace corvex::service {
class Session;
}

namespace corvex::app {

class RecordingView;
class UploadQueue;

/// What every recording window feeds: the one analysis recorder, and the
/// preview link it sends live colours through.
struct RecordingModels {
    analysis::AnalysisRecorder& recorder;
    preview_link::UDPManager& previewLink;

    /// The process's own pair, made on first use (on the GUI thread, with an
    /// application object). For main() and the test fixtures only: everything
    /// else gets the pair passed in.
    static RecordingModels process();
};

/// A window titled "Recording", 800 × 600, whose content is one RecordingView,
/// under a "Recording" menu with the recording's commands and their keys
/// (Start Ctrl+R, Save Ctrl+S, Discard Ctrl+Delete, Close the desktop's Close
/// key, Ctrl+W). Closing it ends its capture; closing it in the middle of a
/// recording asks first, since the recording would be lost.
class RecordingWindow final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RecordingWindow)

public:
    /// Records for `item`.
    RecordingWindow(service::Session& manager, UploadQueue& uploads, catalogue::TMDBItem item, RecordingModels models,
        std::shared_ptr<screencapture::CaptureBackend> backend, QWidget* parent = nullptr);

    /// The window's keys and what each does, for the help: "Ctrl+R" and "Start or stop recording", ….
    static QList<std::pair<QList<QKeySequence>, QString>> keys();

    RecordingView* view() const { return m_view; }
    QAction* startAction() const { return m_start; }
    QAction* saveAction() const { return m_save; }
    QAction* discardAction() const { return m_discard; }
    /// The icon in the desktop's tray (StatusNotifierItem where the desktop
    /// has one): whether a recording runs, with Start and Save in its menu,
    /// for when the player covers the window.
    QSystemTrayIcon* trayIcon() const { return m_tray; }
    /// The question asked when the window is closed during a recording.
    QMessageBox* closeConfirmation() const { return m_closeConfirmation; }

protected:
    void closeEvent(QCloseEvent* event) override;

    /// What the window says when it steps aside for a recording of the whole display.
    static QString steppingAsideText()
    {
        return QStringLiteral("Corvex Studio is minimised while the whole display is recorded, so that it does not "
                              "record itself. Save the recording from its icon in the tray.");
    }

private:
    void updateActions();
    void stepAside();

    RecordingView* m_view;
    QAction* m_start;
    QAction* m_save;
    QAction* m_discard;
    QSystemTrayIcon* m_tray;
    bool m_closeConfirmed = false;
    bool m_wasRecording = false;
    QPointer<QMessageBox> m_closeConfirmation;
};

/// Opens the recording windows. Only one is open at a time: the capture of
/// every recording window feeds the one shared analysis recorder, so two
/// would mix their pictures into one light show.
class RecordingWindows final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RecordingWindows)

public:
    using BackendFactory = std::function<std::shared_ptr<screencapture::CaptureBackend>()>;

    /// `backends` makes each window's capture backend (the system's choice when empty).
    RecordingWindows(service::Session& manager, UploadQueue& uploads, RecordingModels models,
        BackendFactory backends = {}, QObject* parent = nullptr);

    /// Opens a "Recording" window for `item` in front and closes the window that was active before. While a recording
    /// runs in the open window, it is brought to the front instead and
    /// nothing changes (null is returned).
    RecordingWindow* openRecordingWindow(const catalogue::TMDBItem& item);

    RecordingWindow* current() const { return m_current; }

private:
    service::Session& m_manager;
    UploadQueue& m_uploads;
    RecordingModels m_models;
    BackendFactory m_backends;
    QPointer<RecordingWindow> m_current;
};

} // namespace corvex::app
