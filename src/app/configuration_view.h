#pragma once

#include "app/recording_upload.h"
#include "app/upload_queue.h"
#include "catalogue/tmdb_item.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <QCoroTask>

#include <optional>

class QComboBox;
class QLabel;
class QPushButton;
class QStackedWidget;

namespace corvex::analysis {
class AnalysisRecorder;
}
namespace corvex::capture {
class ScreenRecorder;
}
namespace corvex::preview_link {
class UDPManager;
}
namespace corvex::service {
class AppManager;
}

namespace corvex::app {

class AudioLevelsView;
class ColourSwatchView;

/// The text shown for the item being recorded: a film's title, or a show's
/// name with "Season 2 - Ep 5" under it; empty when there is neither.
struct CurrentItemText {
    QString title;
    QString detail;
};
CurrentItemText currentItemText(const std::optional<catalogue::TMDBItem>& item);

/// "Firefox: Page - 1280.000000x720.000000": a window as the picker lists it.
QString windowOptionText(const QString& displayName, double width, double height);

/// The recording window's side panel: the item being recorded, what is
/// captured, the sound level and the colours being sampled, the light
/// receiver for the live preview, the recording button and "Restart screen
/// capture". Every control is bound to the models it is given.
class ConfigurationView final : public QWidget {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ConfigurationView)

public:
    ConfigurationView(capture::ScreenRecorder& screenRecorder, analysis::AnalysisRecorder& analysisRecorder,
        preview_link::UDPManager& udpManager, service::AppManager& manager, UploadQueue& uploads,
        QWidget* parent = nullptr);
    ~ConfigurationView() override;

    /// "Start recording" or the save flow, as the button does.
    void toggleRecording();
    /// Stops the recording and uploads it; the upload goes on in the background.
    void save();

    // For tests and screenshots.
    QPushButton* recordingButton() const { return m_recordingButton; }
    QPushButton* restartButton() const { return m_restartButton; }
    QPushButton* resetCropButton() const { return m_resetCropButton; }
    QPushButton* retryButton() const { return m_retryButton; }
    QComboBox* captureTypePicker() const { return m_captureType; }
    QComboBox* displayPicker() const { return m_displays; }
    QComboBox* windowPicker() const { return m_windows; }
    QComboBox* receiverPicker() const { return m_receivers; }
    QWidget* itemSection() const { return m_itemSection; }
    QWidget* videoSection() const { return m_videoSection; }
    QLabel* itemTitle() const { return m_itemTitle; }
    QLabel* itemDetail() const { return m_itemDetail; }
    QLabel* uploadStatus() const { return m_uploadStatus; }
    QLabel* recordingStatus() const { return m_recordingStatus; }
    ColourSwatchView* swatch() const { return m_swatch; }
    AudioLevelsView* levels() const { return m_levels; }
    bool isUploading() const { return m_upload->isUploading(); }
    RecordingUpload& recordingUpload() const { return *m_upload; }

Q_SIGNALS:
    /// Asks the window to show or hide the "stopped" overlay.
    void userStoppedChanged(bool stopped);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void updateItem();
    void updateRecordingButton();
    void updateRecordingState();
    void updateRecordingStatus();
    void updateCaptureType();
    void updateDisplays();
    void updateWindows();
    void updateCrop();
    void updateReceivers();
    void updateSwatch();
    void updateUploadStatus();
    QCoro::Task<> restart();

    capture::ScreenRecorder& m_screenRecorder;
    analysis::AnalysisRecorder& m_analysisRecorder;
    preview_link::UDPManager& m_udpManager;
    service::AppManager& m_manager;
    RecordingUpload* m_upload = nullptr; // the save's upload and its Retry

    QWidget* m_itemSection = nullptr;
    QLabel* m_itemTitle = nullptr;
    QLabel* m_itemDetail = nullptr;
    QWidget* m_videoSection = nullptr;
    QComboBox* m_captureType = nullptr;
    QStackedWidget* m_content = nullptr;
    QComboBox* m_displays = nullptr;
    QComboBox* m_windows = nullptr;
    QLabel* m_cropText = nullptr;
    QPushButton* m_resetCropButton = nullptr;
    AudioLevelsView* m_levels = nullptr;
    ColourSwatchView* m_swatch = nullptr;
    QComboBox* m_receivers = nullptr;
    QPushButton* m_recordingButton = nullptr;
    QLabel* m_recordingStatus = nullptr;
    QLabel* m_uploadStatus = nullptr;
    QPushButton* m_retryButton = nullptr;
    QPushButton* m_restartButton = nullptr;

    QElapsedTimer m_recordingClock;
    QTimer m_statusTimer;
    QTimer m_swatchTimer;
    bool m_swatchDirty = false;
};

} // namespace corvex::app
