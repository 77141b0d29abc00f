#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

class QHBoxLayout;
class QLabel;
class QProgressBar;
class QPushButton;
class QStackedWidget;

namespace corvex::service {
class Session;
}

namespace corvex::app {

class RecordingSources;

/// "01:05" or "1:02:03": the time a recording has run.
QString formatElapsed(qint64 milliseconds);
/// "1:02:03 left", "4:05 left", or empty while it cannot be told yet.
QString formatTimeLeft(double seconds);

/// The recording button and what goes with it: while idle, "Start recording"
/// and, when it cannot be pressed, why; while recording, "Save recording" in
/// the record colour, the elapsed time in large type with the frame count,
/// and "Discard recording"; the clock stands still while no picture comes.
/// While a recording ends by itself (a video file is analysed), a progress
/// bar with the time left and "Cancel" take the elapsed time's place.
class RecordingControls final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RecordingControls)

public:
    /// `hasItem`: a movie or an episode was chosen to record for.
    RecordingControls(RecordingSources& sources, service::Session& manager, bool hasItem, QWidget* parent = nullptr);

    /// The colour that marks a running recording.
    static QColor recordColour() { return QColor(214, 40, 40); }

    QPushButton* recordingButton() const { return m_button; }
    QPushButton* discardButton() const { return m_discard; }
    QLabel* elapsed() const { return m_elapsed; }
    QLabel* frames() const { return m_frames; }
    QLabel* reason() const { return m_reason; }
    QProgressBar* progressBar() const { return m_progress; }
    QPushButton* cancelButton() const { return m_cancel; }

Q_SIGNALS:
    void recordingButtonClicked();
    void discardClicked();
    void cancelClicked();

private:
    void updateButton();
    void updateState();
    void updateClock();
    void updateProgress();
    void follow();

    RecordingSources& m_sources;
    service::Session& m_manager;
    bool m_hasItem;
    QPushButton* m_button;
    QLabel* m_reason;
    QLabel* m_elapsed;
    QLabel* m_frames;
    QPushButton* m_discard;
    QProgressBar* m_progress;
    QPushButton* m_cancel;
    QStackedWidget* m_rows; // the clock's row or the progress's
    QHBoxLayout* m_clockRow = nullptr;
    QHBoxLayout* m_progressRow = nullptr;
    QList<QMetaObject::Connection> m_connections; // to the source in use
    QElapsedTimer m_clock; // runs while pictures are recorded
    qint64 m_recordedMs = 0; // before the clock last started
    QTimer m_clockTimer;
};

} // namespace corvex::app
