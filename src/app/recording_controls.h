#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

class QLabel;
class QProgressBar;
class QPushButton;

namespace corvex::analysis {
class AnalysisRecorder;
}
namespace corvex::service {
class AppManager;
}

namespace corvex::app {

class VideoFileAuthoring;

/// "01:05" or "1:02:03": the time a recording has run.
QString formatElapsed(qint64 milliseconds);

/// The recording button and what goes with it: while idle, "Start recording"
/// and, when it cannot be pressed, why; while recording, "Save recording" in
/// the record colour, the elapsed time in large type with the frame count,
/// and "Discard recording". While a video file is analysed, a progress bar
/// with the time left and "Cancel" take the elapsed time's place.
class RecordingControls final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RecordingControls)

public:
    /// `videoFile` (may be null) is the window's file road.
    RecordingControls(analysis::AnalysisRecorder& analysisRecorder, service::AppManager& manager,
        VideoFileAuthoring* videoFile = nullptr, QWidget* parent = nullptr);

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
    bool fileRoad() const;

    analysis::AnalysisRecorder& m_analysisRecorder;
    service::AppManager& m_manager;
    QPushButton* m_button;
    QLabel* m_reason;
    QLabel* m_elapsed;
    QLabel* m_frames;
    QPushButton* m_discard;
    VideoFileAuthoring* m_videoFile;
    QProgressBar* m_progress;
    QPushButton* m_cancel;
    QElapsedTimer m_clock;
    QTimer m_clockTimer;
};

} // namespace corvex::app
